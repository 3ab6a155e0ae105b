"""The one rule for a cell of a tab-separated file, shared by every command that writes a table."""


def tsv_cell(text: str) -> str:
    """A cell of a tab-separated file: quoted as CSV quotes (doubling its quotes) when it holds a tab or a
    line break or starts with a quote, so that one name never becomes two cells or two rows."""
    if "\t" in text or "\n" in text or "\r" in text or text.startswith('"'):
        return '"' + text.replace('"', '""') + '"'
    return text
