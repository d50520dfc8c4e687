# Builds the zelkd(8) manual page from its template and zelkd --help.
# Usage: zelkd --help | awk -v version=X.Y.Z -v service="ARGS" \
#            -f roff.awk -f options.awk - zelkd.8.in > zelkd.8
#
# The help's option lines (indented, starting with a dash; a description
# that runs on is indented to the description column) become the OPTIONS
# list, and the unindented lines after them its closing paragraph. The
# template's "@OPTIONS@" line is replaced by them, "@VERSION@" by the
# version and "@SERVICE@" by the options the systemd unit passes.

# "-d, --device PATH" in bold options and italic arguments.
function optionTag(spec,    n, i, word, comma, tag)
{
    n = split(spec, word, " ")
    tag = ""
    for (i = 1; i <= n; i++) {
        comma = ""
        if (word[i] ~ /,$/) {
            comma = ","
            sub(/,$/, "", word[i])
        }
        if (word[i] ~ /^-/)
            tag = tag (i > 1 ? " " : "") "\\fB" roff(word[i]) "\\fR" comma
        else
            tag = tag (i > 1 ? " " : "") "\\fI" roff(word[i]) "\\fR" comma
    }
    return tag
}

# ---- first file: the help text ----
FNR == NR && /^ +-/ {
    if (column == 0 && match($0, /^ +[^ ]+( [^ ]+)*  +/))
        column = RLENGTH
    if (column == 0 || length($0) <= column) {
        print "options.awk: cannot read the option line: " $0 >"/dev/stderr"
        exit 1
    }
    spec = substr($0, 1, column)
    sub(/ +$/, "", spec)
    sub(/^ +/, "", spec)
    out = out ".TP\n" optionTag(spec) "\n" roff(substr($0, column + 1)) "\n"
    inOptions = 1
    next
}

FNR == NR && inOptions && column > 0 && /^ +[^ ]/ {
    sub(/^ +/, "")
    out = out roff($0) "\n"
    next
}

FNR == NR && inOptions && /^[^ ]/ {
    if (!closing) {
        out = out ".PP\n"
        closing = 1
    }
    out = out roff($0) "\n"
    next
}

FNR == NR {
    next
}

# ---- second file: the template ----
/^@OPTIONS@$/ {
    if (out == "") {
        print "options.awk: no options in the help text" >"/dev/stderr"
        exit 1
    }
    printf "%s", out
    next
}

{
    print replace(replace($0, "@VERSION@", version), "@SERVICE@", roff(service))
}
