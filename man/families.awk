# Builds the zelk(3) manual page from its template and the public header.
# Usage: awk -v version=X.Y.Z -f roff.awk -f families.awk zelk.h zelk.3.in
#            > zelk.3
#
# Each "/* ---- Family ---- ... */" heading of the header becomes a
# subsection with the heading's text as its introduction; each ZELK_API
# declaration under it is listed with the comment written just above it, and
# so is each type: records (typedef struct) shown whole, field comments and
# all, one-line typedefs, and the constants (#define ZELK_... <number>).
# The template's line "@FAMILIES@" is replaced by these subsections and
# "@VERSION@" by the version, so a new family or function in the header
# needs no edit here.

# Strips the comment markers from one line of a /* */ comment.
function commentText(line)
{
    sub(/^[ \t]*\/\*+[ \t]?/, "", line)
    sub(/[ \t]*\*+\/[ \t]*$/, "", line)
    sub(/^[ \t]*\*[ \t]?/, "", line)
    return line
}

function flushDeclaration(    proto)
{
    proto = decl
    gsub(/[ \t]+/, " ", proto)
    sub(/^ /, "", proto)
    sub(/^extern /, "", proto)
    sub(/ZELK_API /, "", proto)
    sub(/ ZELK_NOTHROW/, "", proto)
    sub(/ __attribute__\(\(.*\)\)/, "", proto)
    ensureFamily()
    out = out ".TP\n.B " roff(proto) "\n" (comment == "" ? "See zelk.h.\n" : comment)
    decl = ""
    comment = ""
}

function ensureFamily()
{
    if (!inFamily) {
        out = out ".SS General\n"
        inFamily = 1
    }
}

# Appends code lines as an indented, unfilled block, after their comment.
function flushCode(lines)
{
    ensureFamily()
    out = out (comment == "" ? "" : ".PP\n" comment) ".PP\n.RS\n.nf\n" \
        lines ".fi\n.RE\n"
    comment = ""
}

function flushConstants()
{
    if (constants != "")
        flushCode(constants)
    constants = ""
}

# ---- first file: the header ----
FNR == NR && inRecord {
    record = record roff($0) "\n"
    if ($0 ~ /^}/) {
        inRecord = 0
        flushCode(record)
    }
    next
}

FNR == NR && /^#define[ \t]+ZELK_[A-Z0-9_]+[ \t]+[0-9]/ {
    constants = constants roff($0) "\n"
    next
}

FNR == NR && constants != "" {
    flushConstants()
}

FNR == NR && /^typedef struct [A-Za-z_]+ \{/ {
    record = roff($0) "\n"
    inRecord = 1
    next
}

FNR == NR && /^typedef [^{]*;[ \t]*$/ {
    ensureFamily()
    out = out ".TP\n.B " roff($0) "\n" (comment == "" ? "A type.\n" : comment)
    comment = ""
    next
}

FNR == NR && inDecl {
    decl = decl " " $0
    if ($0 ~ /;/) {
        inDecl = 0
        flushDeclaration()
    }
    next
}

FNR == NR && inComment {
    text = commentText($0)
    if (text != "")
        buffer = buffer roff(text) "\n"
    if ($0 ~ /\*\//) {
        inComment = 0
        if (heading) {
            out = out buffer
            heading = 0
            comment = ""
        } else {
            comment = buffer
        }
    }
    next
}

FNR == NR && /^\/\* ---- / {
    name = $0
    sub(/^\/\* ---- /, "", name)
    sub(/ -+.*$/, "", name)
    out = out ".SS " roff(name) "\n"
    inFamily = 1
    comment = ""
    buffer = ""
    if ($0 !~ /\*\//) {
        heading = 1
        inComment = 1
    }
    next
}

FNR == NR && /^[ \t]*\/\*/ {
    buffer = ""
    text = commentText($0)
    if (text != "")
        buffer = roff(text) "\n"
    if ($0 ~ /\*\//)
        comment = buffer
    else
        inComment = 1
    next
}

FNR == NR && /^[ \t]*(extern[ \t]+)?ZELK_API[ \t]/ {
    decl = $0
    if ($0 ~ /;/)
        flushDeclaration()
    else
        inDecl = 1
    next
}

# Anything else (a record, a macro, a blank line) ends the comment's claim
# on the next declaration.
FNR == NR {
    comment = ""
    next
}

# ---- second file: the template ----
/^@FAMILIES@$/ {
    printf "%s", out
    next
}

{
    print replace($0, "@VERSION@", version)
}
