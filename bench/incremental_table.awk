# The tables of bench/incremental.sh from its results (tab-separated lines
# "round scenario tool wire_bytes down_bytes requests seconds note"):
#   awk -F'\t' -v tools="whole zsync" -v c0=FRESH -v c5=ONE -v c1=FIVE -f incremental_table.awk results.tsv
# tools: the columns in order; c0, c5, c1: the changed bytes of a fresh
# install, one version behind and five behind; index_bytes: the size of
# update.vt.index. Medians and worst rounds over the rounds; a note with WRONG
# or FAILED wins over the rounds that went well. With an incremental column,
# its figures are held against the goals of the incremental update.

function sort(a, n,   i, j, t) {
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && a[j - 1] > a[j]; j--) {
            t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
        }
}

function med(key, field,   a, n, i) {
    n = split(vals[key, field], a, " ")
    for (i = 1; i <= n; i++)
        a[i] += 0
    sort(a, n)
    return a[int((n + 1) / 2)]
}

function worst(key, field,   a, n, i, w) {
    n = split(vals[key, field], a, " ")
    w = a[1] + 0
    for (i = 2; i <= n; i++)
        if (a[i] + 0 > w)
            w = a[i] + 0
    return w
}

function bad(key) { return note[key] ~ /WRONG|FAILED/ }

function requests(key,   r) {
    if (vals[key, "req"] ~ /n\/a/)
        return ""
    r = med(key, "req")
    return ", " r (r == 1 ? " request" : " requests")
}

function cell(s, t,   key, c) {
    key = s SUBSEP t
    if (!(key in seen))
        return "-"
    c = sprintf("%.1f MB, %.1f s", med(key, "bytes") / 1e6, med(key, "secs")) requests(key)
    if (note[key] ~ /dropped/)
        c = c " (leaves dropped files)"
    if (bad(key))
        c = c " **" note[key] "**"
    return c
}

function killed_cell(t,   k, o, c) {
    k = "killed" SUBSEP t
    o = "one" SUBSEP t
    if (!(k in seen) || !(o in seen))
        return "-"
    c = sprintf("%.2fx, %.2fx", med(k, "bytes") / med(o, "bytes"), med(k, "secs") / med(o, "secs"))
    if (bad(k))
        c = c " **" note[k] "**"
    else if (note[k] ~ /finished before/)
        c = c " (not killed)"
    return c
}

{
    key = $2 SUBSEP $3
    vals[key, "bytes"] = vals[key, "bytes"] " " $4
    vals[key, "down"] = vals[key, "down"] " " $5
    vals[key, "req"] = vals[key, "req"] " " $6
    vals[key, "secs"] = vals[key, "secs"] " " $7
    if (!(key in note) || $8 ~ /WRONG|FAILED/)
        note[key] = $8
    seen[key] = 1
}

# One goal: "met" or "MISSED", what was measured and what was allowed.
function goal(text, got, allowed, unit) {
    printf "- %s: %s (%.2f %s, allowed %.2f)\n", text, (got <= allowed ? "met" : "MISSED"), got, unit, allowed
}

function goals(   s, k, c, changed, t, behind, b) {
    printf "\nGoals of the incremental update (medians):\n"
    changed["one"] = c5
    changed["five"] = c1
    split("one five", behind, " ")
    for (b = 1; b <= 2; b++) {
        s = behind[b]
        k = s SUBSEP "incremental"
        if (!(k in seen))
            continue
        goal(s " behind: wire bytes <= 1.15 x changed + index", med(k, "bytes") / 1e6,
             (1.15 * changed[s] + index_bytes) / 1e6, "MB")
        for (t = 1; t <= 2; t++) {
            c = s SUBSEP (t == 1 ? "zsync" : "casync")
            if (!(c in seen))
                continue
            goal(s " behind: wire bytes <= " (t == 1 ? "zsync" : "casync"), med(k, "bytes") / 1e6,
                 med(c, "bytes") / 1e6, "MB")
            goal(s " behind: time <= " (t == 1 ? "zsync" : "casync"), med(k, "secs"), med(c, "secs"), "s")
        }
        c = s SUBSEP "rsync"
        if (c in seen)
            printf "- %s behind: time %.2f s against rsync's %.2f s (as close as can be)\n", s,
                med(k, "secs"), med(c, "secs")
    }
    k = "fresh" SUBSEP "incremental"
    c = "fresh" SUBSEP "whole"
    if ((k in seen) && (c in seen)) {
        goal("fresh install: wire bytes <= 1.02 x the whole download's", med(k, "bytes") / 1e6,
             1.02 * med(c, "bytes") / 1e6, "MB")
        goal("fresh install: time <= 1.02 x the whole download's", med(k, "secs"), 1.02 * med(c, "secs"), "s")
    }
    k = "killed" SUBSEP "incremental"
    c = "one" SUBSEP "incremental"
    if ((k in seen) && (c in seen))
        goal("killed and restarted: wire bytes <= 1.05 x an uninterrupted run's", med(k, "bytes") / 1e6,
             1.05 * med(c, "bytes") / 1e6, "MB")
}

END {
    n = split(tools, tl, " ")
    label["fresh"] = sprintf("fresh install (%.1f MB)", c0 / 1e6)
    label["one"] = sprintf("one version behind (%.1f MB)", c5 / 1e6)
    label["five"] = sprintf("five behind (%.1f MB)", c1 / 1e6)
    printf "| Scenario (new content) |"
    for (i = 1; i <= n; i++)
        printf " %s |", tl[i]
    printf "\n|---|"
    for (i = 1; i <= n; i++)
        printf "---|"
    printf "\n"
    split("one five fresh", sc, " ")
    for (j = 1; j <= 3; j++) {
        printf "| %s |", label[sc[j]]
        for (i = 1; i <= n; i++)
            printf " %s |", cell(sc[j], tl[i])
        printf "\n"
    }
    printf "| killed at half, restarted (bytes, time vs one behind) |"
    for (i = 1; i <= n; i++)
        printf " %s |", killed_cell(tl[i])
    printf "\n\nPer tool, median (worst) over the rounds:\n\n"
    printf "| scenario | tool | wire MB | of it down | time s | requests | result |\n"
    printf "|---|---|---|---|---|---|---|\n"
    split("fresh one five killed", sc, " ")
    for (j = 1; j <= 4; j++)
        for (i = 1; i <= n; i++) {
            key = sc[j] SUBSEP tl[i]
            if (!(key in seen))
                continue
            printf "| %s | %s | %.2f (%.2f) | %.2f | %.2f (%.2f) | %s | %s |\n", sc[j], tl[i],
                med(key, "bytes") / 1e6, worst(key, "bytes") / 1e6, med(key, "down") / 1e6,
                med(key, "secs"), worst(key, "secs"),
                (vals[key, "req"] ~ /n\/a/ ? "n/a" : med(key, "req")), note[key]
        }
    if (tools ~ /(^| )incremental( |$)/)
        goals()
}
