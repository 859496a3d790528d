def indent(text: str, prefix: str) -> str:
    """Sets `prefix` in front of every line of `text`."""
    return "\n".join(prefix + line for line in text.split("\n"))
