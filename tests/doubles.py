"""Stand-ins and models the tests share, importing nothing of the package (a child that must
install replacements before the package's import can use them)."""
import re

COLOUR = re.compile(r"\x1b\[[0-9:;]*m")


def shown_as(text):
    """What may reach the terminal of a line: colour sequences and printable text as they are, any
    other control character (C0 but tab, DEL, C1) written out as \\xNN."""
    out, i = [], 0
    while i < len(text):
        if m := COLOUR.match(text, i):
            out.append(m.group())
            i = m.end()
            continue
        code = ord(text[i])
        out.append(text[i] if 0x20 <= code < 0x7F or code == 0x09 or code > 0x9F else f"\\x{code:02x}")
        i += 1
    return "".join(out)


def terminal_descriptor():
    """A descriptor that is a terminal (a pseudo-terminal nobody writes to), for a stand-in file
    that is to be taken for one; made once per process."""
    global _terminal
    if _terminal is None:
        import os

        _terminal = os.openpty()[1]
    return _terminal


_terminal = None


class RecordedFiles:
    """An aiofiles that keeps what is written, decoded, in `texts`; its file is a terminal."""

    texts = []

    class File:
        async def write(self, data):
            RecordedFiles.texts.append(data.decode("utf-8"))
            return len(data)

        def fileno(self):
            return terminal_descriptor()

        async def close(self):
            pass

    @staticmethod
    def open(target, *args, **kwargs):
        async def opened():
            if isinstance(target, int):  # a descriptor handed over is the file's own, as with aiofiles
                import os

                os.close(target)
            return RecordedFiles.File()

        return opened()
