// Zero-filled, calloc-backed arrays for the n x n results: untouched pages cost nothing.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>

namespace brantoveil::distances {

/// An owned array of trivially copyable elements, zero on allocation.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    void* memory = std::calloc(size, sizeof(T));
    if (memory == nullptr) throw std::bad_alloc();  // out of memory ends the process
    data_.reset(static_cast<T*>(memory));
  }

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
    void operator()(T* p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> data_;
  std::size_t size_ = 0;
};

}  // namespace brantoveil::distances
