// Result arrays: zero-filled and calloc-backed (untouched pages cost nothing), or views of storage
// the caller provides (so a result can be written straight into its final home).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>

namespace brantoveil {

/// What storage lent to a Buffer holds: anything, or zeros throughout (such as a fresh calloc'd
/// region), which spares the writer clearing it.
enum class Contents { unknown, zeros };

/// An array of trivially copyable elements: owned and zero on allocation, or a view of storage
/// owned elsewhere, whose contents are unspecified unless the lender vouches for zeros.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    void* memory = std::calloc(size, sizeof(T));
    // Becomes MemoryError on the calling thread; inside a parallel task it ends the process.
    if (memory == nullptr) throw std::bad_alloc();
    data_.reset(static_cast<T*>(memory));
  }
  /// A view of `storage`, which must outlive the buffer; it is not freed.
  static Buffer over(std::span<T> storage, Contents contents = Contents::unknown) {
    Buffer view;
    view.data_ = std::unique_ptr<T, Free>(storage.data(), Free{false});
    view.size_ = storage.size();
    view.zeroed_ = contents == Contents::zeros;
    return view;
  }

  /// Whether every element is known to be zero (a fresh owned buffer, or storage lent as zeros).
  bool zeroed() const { return zeroed_; }
  /// Whether the buffer allocated its elements itself (and frees them).
  bool owned() const { return data_.get_deleter().owns; }

  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_.get()[i]; }
  const T& operator[](std::size_t i) const { return data_.get()[i]; }
  std::span<T> span() { return {data(), size_}; }
  std::span<const T> span() const { return {data(), size_}; }

 private:
  struct Free {
    bool owns = true;
    void operator()(T* p) const {
      if (owns) std::free(p);
    }
  };
  std::unique_ptr<T, Free> data_;
  std::size_t size_ = 0;
  bool zeroed_ = true;
};

}  // namespace brantoveil
