# Helpers shared by the manual page generators (awk -f roff.awk -f ...).

# Roff-escapes a line of text: backslashes, minus signs, and a leading dot
# or quote that roff would take for a request.
function roff(text)
{
    gsub(/\\/, "\\\\e", text)
    gsub(/-/, "\\\\-", text)
    if (text ~ /^[.']/)
        text = "\\&" text
    return text
}

# Replaces every marker in text by value, taken literally.
function replace(text, marker, value,    at, out)
{
    out = ""
    while ((at = index(text, marker)) > 0) {
        out = out substr(text, 1, at - 1) value
        text = substr(text, at + length(marker))
    }
    return out text
}
