#!/usr/bin/env bash
# Fault campaign: bad recordings, bad parameters and failing output folders thrown at the batch
# programs (psctrawl, spktal, abfinfo, abfsynth), each call under `timeout`, then one table:
#
#   test | cases | crashes | hangs | data lost | unclear messages
#
# A case is one program call. crash: killed by a signal that was not the timeout's; hang: the
# timeout ended it; data lost: a recording or an output that was there before changed, a
# temporary file left behind, a visible output that is not whole, or status 0 with an output
# missing; unclear message: status 1 without a line on standard error naming the recording (or
# the parameter file or row at fault), status 0 with an error text, a cut recording read without
# a warning, or a value that must be refused taken without a word. Every flagged case is listed
# with its command line in flagged.txt of the run folder, the first ones also below the table.
#
#   scripts/fault_campaign.sh [BUILD_DIR] [WORK_DIR]
#
# BUILD_DIR (default build) holds apps/<program>/<program>; WORK_DIR (default
# ${TMPDIR:-/tmp}/fault_campaign) gets a new run.XXXXXX folder with the inputs of flagged cases.
# FAULT_CASES (default 250) is the number of cut recordings, of mutated headers and of garbage
# parameter files; FAULT_SEED (default 1) the seed of the byte mutations and garbage, so a run
# repeats exactly; FAULT_TIMEOUT (default 10 s) the time a call may take.
# Exit status 0 when no case crashed, hung or lost data; 1 otherwise; 2 when the programs are missing.
set -u
export LC_ALL=C

build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "fault_campaign.sh: no build folder ${1:-build}" >&2; exit 2; }
work_parent=${2:-${TMPDIR:-/tmp}/fault_campaign}
cases=${FAULT_CASES:-250}
seed=${FAULT_SEED:-1}
limit=${FAULT_TIMEOUT:-10}
vmem_kb=$((4 * 1024 * 1024))  # a runaway allocation fails instead of taking the machine

PSC=$build/apps/psctrawl/psctrawl
SPK=$build/apps/spktal/spktal
INFO=$build/apps/abfinfo/abfinfo
SYNTH=$build/apps/abfsynth/abfsynth
for p in "$PSC" "$SPK" "$INFO" "$SYNTH"; do
    [ -x "$p" ] || { echo "fault_campaign.sh: $p not built" >&2; exit 2; }
done
for tool in perl timeout cksum mkfifo; do
    command -v "$tool" >/dev/null || { echo "fault_campaign.sh: needs $tool" >&2; exit 2; }
done
repo=$(cd "$(dirname "$0")/.." && pwd)
demo=$repo/examples/demo.abf
[ -f "$demo" ] || { echo "fault_campaign.sh: no $demo" >&2; exit 2; }

mkdir -p "$work_parent" || exit 2
W=$(mktemp -d "$(cd "$work_parent" && pwd)/run.XXXXXX") || exit 2
mkdir -p "$W/config" "$W/home" "$W/base" "$W/cases"
export XDG_CONFIG_HOME=$W/config HOME=$W/home
flagged=$W/flagged.txt
: >"$flagged"

# Options every call of the analysis programs gets; spktal counts in the synthetic current step.
PSC_RUN=(--batch --no-ini --quiet)
SPK_RUN=(--batch --no-ini --quiet --set "Stimulus Epoch for counting=A" --set "Max Spike Duration (ms)=3"
         --set "New Output Name Format=Y")

# ---------------------------------------------------------------- bookkeeping
rows=()
declare -A n_cases n_crash n_hang n_lost n_unclear
row_begin() {
    [ -n "${row:-}" ] && say "  $row: ${n_cases[$row]} cases, $((SECONDS - row_start)) s"
    row_start=$SECONDS
    [ -n "$1" ] || return 0
    rows+=("$1")
    n_cases[$1]=0 n_crash[$1]=0 n_hang[$1]=0 n_lost[$1]=0 n_unclear[$1]=0
    row=$1
}
# One case: its folder (kept when flagged) and what went wrong in it.
case_begin() {
    cdir=$1
    c_crash=0 c_hang=0 c_lost=0 c_unclear=0 c_notes=""
    n_cases[$row]=$((n_cases[$row] + 1))
}
note() {  # KIND TEXT
    case $1 in
        crash) c_crash=1 ;; hang) c_hang=1 ;; lost) c_lost=1 ;; unclear) c_unclear=1 ;;
    esac
    c_notes+="    $1: $2"$'\n'
}
case_end() {
    n_crash[$row]=$((n_crash[$row] + c_crash))
    n_hang[$row]=$((n_hang[$row] + c_hang))
    n_lost[$row]=$((n_lost[$row] + c_lost))
    n_unclear[$row]=$((n_unclear[$row] + c_unclear))
    if [ -n "$c_notes" ]; then
        {
            echo "[$row] $last_cmd"
            printf '%s' "$c_notes"
            if [ -s "$cdir/err" ]; then
                echo "    stderr: $(head -c 300 "$cdir/err" | tr '\n' '|')"
            fi
        } >>"$flagged"
    elif [ "${keep_cases:-0}" = 0 ]; then
        rm -rf "$cdir"
    fi
}

# call DIR FSIZE PROGRAM ARGS...: runs PROGRAM in DIR (stdin empty, stdout DIR/out, stderr
# DIR/err) under the timeout; FSIZE "-" or a file size limit in blocks (ulimit -f, SIGXFSZ
# ignored so that writes past it fail). Sets rc, elapsed_ms, last_cmd.
call() {
    local dir=$1 fsize=$2
    shift 2
    last_cmd="cd $(printf '%q' "$dir") && "
    [ "$fsize" != - ] && last_cmd+="trap '' XFSZ; ulimit -f $fsize; "
    last_cmd+="XDG_CONFIG_HOME=$(printf '%q' "$XDG_CONFIG_HOME") $(printf '%q ' "$@")"
    local start=${EPOCHREALTIME/./}
    (
        cd "$dir" || exit 99
        ulimit -v "$vmem_kb" 2>/dev/null
        if [ "$fsize" != - ]; then
            trap '' XFSZ
            ulimit -f "$fsize"
        fi
        exec timeout -k 2 "$limit" "$@" </dev/null >"$dir/out" 2>"$dir/err"
    )
    rc=$?
    elapsed_ms=$(((${EPOCHREALTIME/./} - start) / 1000))
}

# Crash or hang; true when the call ended on its own (the other checks make sense).
ended() {
    if [ "$rc" = 124 ] || { [ "$rc" = 137 ] && [ "$elapsed_ms" -ge $((limit * 1000)) ]; }; then
        note hang "no end within ${limit} s (status $rc)"
        return 1
    fi
    if [ "$rc" -gt 128 ]; then
        note crash "killed by signal $((rc - 128)) ($(kill -l $((rc - 128)) 2>/dev/null))"
        return 1
    fi
    return 0
}
err_names() {  # true when a line of standard error holds one of the words
    local w
    for w in "$@"; do
        grep -qF -- "$w" "$cdir/err" 2>/dev/null && return 0
    done
    return 1
}
sum_of() { cksum <"$1" 2>/dev/null; }
# Temporary files an interrupted or failed write left in a folder.
leftovers() {
    local f=("$1"/*.ephys-tmp-*)
    [ -e "${f[0]}" ] && printf '%s ' "${f[@]##*/}"
}

# ---------------------------------------------------------------- recordings to damage
say() { printf '%s\n' "$*" >&2; }
say "fault campaign: run folder $W, $cases cases per generated row, seed $seed"
synth() {  # NAME ARGS...
    local name=$1
    shift
    "$SYNTH" --out "$W/base/$name" --seed 7 "$@" >/dev/null 2>&1 || { say "abfsynth $* failed"; exit 2; }
}
cp "$demo" "$W/base/demo.abf"
synth abf1.abf --abf1 --duration 2
synth abf2.abf --duration 2
synth episodic.abf --sweeps 4 --sweep-length 0.5
synth float.abf --format float32 --duration 2
synth episodic1.abf --abf1 --sweeps 3 --sweep-length 0.5
synth spikes.abf --kind spikes --sweeps 6 --channels 2 --first-step -50 --step-increment 50 --step-length 0.2
synth spikes1.abf --kind spikes --abf1 --sweeps 4 --channels 2 --first-step -50 --step-increment 50 --step-length 0.2
rm -f "$W"/base/*.csv
bases=(demo abf1 abf2 episodic float episodic1 spikes spikes1)
is_spikes() { case $1 in spikes*) return 0 ;; esac; return 1; }

# Where each recording's samples end (the header's promise) and what psctrawl writes from it
# when whole, under the name cell.abf every case uses.
declare -A data_end psc_outputs
for b in "${bases[@]}"; do
    f=$W/base/$b.abf
    json=$("$INFO" --json --no-data "$f" 2>/dev/null)
    off=$(sed -n 's/^ *"data_offset_bytes": *\([0-9]*\).*/\1/p' <<<"$json")
    per=$(sed -n 's/^ *"samples_per_sweep": *\([0-9]*\).*/\1/p' <<<"$json")
    ch=$(sed -n 's/^ *"channels": *\([0-9]*\).*/\1/p' <<<"$json")
    sw=$(sed -n 's/^ *"sweeps": *\([0-9]*\).*/\1/p' <<<"$json")
    fmt=$(sed -n 's/^ *"data_format": *"\([a-z0-9]*\)".*/\1/p' <<<"$json")
    size=2
    [ "$fmt" = float32 ] && size=4
    data_end[$b]=$((off + per * ch * sw * size))
    d=$W/base/ref-$b
    mkdir -p "$d/o"
    cp "$f" "$d/cell.abf"
    (cd "$d" && "$PSC" "${PSC_RUN[@]}" --output-dir o cell.abf >/dev/null 2>&1) ||
        { say "psctrawl fails on the whole $b recording"; exit 2; }
    psc_outputs[$b]=$(ls "$d/o" | tr '\n' ' ')
    [ -n "${psc_outputs[$b]}" ] || { say "psctrawl wrote nothing for the whole $b recording"; exit 2; }
done

# Checks of one call of PROGRAM (psc, spk, info) on DIR/cell.abf from base BASE. CUT: the number
# of bytes left when the recording was cut, else empty.
check_recording() {
    local program=$1 base=$2 cut=$3 before=$4
    ended || return
    [ "$(sum_of "$cdir/cell.abf")" = "$before" ] || note lost "the recording changed"
    [ -d "$cdir/o" ] && [ -n "$(leftovers "$cdir/o")" ] && note lost "temporary files left: $(leftovers "$cdir/o")"
    case $rc in
    0)
        if grep -qi 'error' "$cdir/err"; then note unclear "status 0 with an error text"; fi
        if [ -n "$cut" ] && [ "$cut" -lt "${data_end[$base]}" ] && ! err_names cell.abf; then
            note unclear "status 0 on a recording cut at $cut of ${data_end[$base]} bytes of data, no warning"
        fi
        case $program in
        psc)
            grep -qF 'cell.abf->Done' "$cdir/out" || note lost "status 0 without cell.abf->Done"
            local o
            for o in ${psc_outputs[$base]}; do
                [ -s "$cdir/o/$o" ] || note lost "status 0 without the output $o"
            done
            ;;
        spk)
            grep -qF 'Ouput File' "$cdir/out" || note lost "status 0 without the output file line"
            [ -s "$cdir/o/cellV.prn" ] || note lost "status 0 without the summary cellV.prn"
            ;;
        info)
            [ "$(head -n 1 "$cdir/out")" = cell.abf ] || note lost "status 0 without the recording's description"
            ;;
        esac
        ;;
    1)
        err_names cell.abf || note unclear "status 1, standard error does not name cell.abf"
        ;;
    *)
        note unclear "status $rc for a damaged recording (0 or 1 expected)"
        ;;
    esac
}

# Runs the programs that take recording BASE on DIR/cell.abf, one case each.
run_programs() {
    local dir=$1 base=$2 cut=$3 program args
    local before
    before=$(sum_of "$dir/cell.abf")
    for program in psc info spk; do
        [ "$program" = spk ] && ! is_spikes "$base" && continue
        local c=$dir/$program
        mkdir -p "$c/o"
        ln "$dir/cell.abf" "$c/cell.abf" 2>/dev/null || cp "$dir/cell.abf" "$c/cell.abf"
        case_begin "$c"
        case $program in
        psc) call "$c" - "$PSC" "${PSC_RUN[@]}" --output-dir o cell.abf ;;
        spk) call "$c" - "$SPK" "${SPK_RUN[@]}" --output-dir o cell.abf ;;
        info) call "$c" - "$INFO" cell.abf ;;
        esac
        check_recording "$program" "$base" "$cut" "$before"
        case_end
    done
    # Kept only while a flagged case's folder is in it.
    [ -z "$(find "$dir" -mindepth 1 -maxdepth 1 -type d)" ] && rm -rf "$dir"
    return 0
}

# ---------------------------------------------------------------- cut recordings
row_begin "truncated recordings"
per_base=$(((cases + ${#bases[@]} - 1) / ${#bases[@]}))
for b in "${bases[@]}"; do
    f=$W/base/$b.abf
    size=$(stat -c %s "$f")
    # The header's edges, the first and last samples, then lengths spread over the file.
    lengths=$(perl -e '
        my ($size, $end, $n, $seed) = @ARGV;
        srand($seed);
        my %seen; my @out;
        for my $l (0, 1, 2, 4, 8, 76, 511, 512, 513, 1023, 1024, 1025, 2047, 2048, 2049, 3071, 3072,
                   3073, 3074, 6143, 6144, 6145, 6146, $end - 1, $end - 2, $end - 3, $size - 1) {
            push @out, $l if $l >= 0 && $l < $size && !$seen{$l}++;
        }
        while (@out < $n) {
            my $l = int(rand($size));
            push @out, $l unless $seen{$l}++;
        }
        print join(" ", @out[0 .. $n - 1]), "\n";' "$size" "${data_end[$b]}" "$per_base" "$((seed * 1000 + ${#b}))")
    for len in $lengths; do
        d=$W/cases/cut-$b-$len
        mkdir -p "$d"
        head -c "$len" "$f" >"$d/cell.abf"
        run_programs "$d" "$b" "$len"
    done
done

# ---------------------------------------------------------------- mutated headers
row_begin "header byte mutations"
# Each mutated recording: 1..8 changes within the first 2 KB, single random bytes or 16- and
# 32-bit extremes at even offsets (counts, offsets and sizes become absurd). The changes are
# listed in mutations.txt beside the recording.
perl -e '
    my ($dir, $n, $seed, @bases) = @ARGV;
    my @extreme32 = (0, 1, 0x7fffffff, 0x80000000, 0xffffffff, 0x10000, 0x7fff);
    my @extreme16 = (0, 1, 0x7fff, 0x8000, 0xffff, 0x100);
    for my $i (0 .. $n - 1) {
        my $base = $bases[$i % @bases];
        srand($seed * 100003 + $i);
        open(my $in, "<:raw", "$dir/base/$base.abf") or die;
        local $/; my $bytes = <$in>; close $in;
        my $span = length($bytes) < 2048 ? length($bytes) : 2048;
        my @log;
        for (1 .. 1 + int(rand(8))) {
            my $r = rand();
            if ($r < 0.5) {
                my $at = int(rand($span)); my $v = int(rand(256));
                substr($bytes, $at, 1) = chr($v); push @log, "byte $at=$v";
            } elsif ($r < 0.8) {
                my $at = 4 * int(rand($span / 4)); my $v = $extreme32[int(rand(@extreme32))];
                substr($bytes, $at, 4) = pack("V", $v); push @log, "u32 $at=$v";
            } else {
                my $at = 2 * int(rand($span / 2)); my $v = $extreme16[int(rand(@extreme16))];
                substr($bytes, $at, 2) = pack("v", $v); push @log, "u16 $at=$v";
            }
        }
        my $d = sprintf("%s/cases/mut-%04d-%s", $dir, $i, $base);
        mkdir $d or die;
        open(my $out, ">:raw", "$d/cell.abf") or die; print $out $bytes; close $out;
        open(my $m, ">", "$d/mutations.txt") or die; print $m join("\n", @log), "\n"; close $m;
    }' "$W" "$cases" "$seed" "${bases[@]}" || { say "mutations not written"; exit 2; }
for d in "$W"/cases/mut-*; do
    b=${d##*-}
    run_programs "$d" "$b" ""
done

# ---------------------------------------------------------------- files that are no recordings
row_begin "special files"
special_case() {  # NAME: prepares DIR/cell.abf as that kind of file
    local kind=$1 program
    for program in psc info spk; do
        local d=$W/cases/special-$kind-$program
        mkdir -p "$d/o"
        local writer=""
        case $kind in
        empty) : >"$d/cell.abf" ;;
        folder) mkdir "$d/cell.abf" ;;
        devzero) ln -s /dev/zero "$d/cell.abf" ;;
        devurandom) ln -s /dev/urandom "$d/cell.abf" ;;
        fifo) mkfifo "$d/cell.abf" ;;
        fifo-fed)
            mkfifo "$d/cell.abf"
            timeout 20 sh -c 'cat "$1" >"$2"' sh "$W/base/spikes.abf" "$d/cell.abf" 2>/dev/null &
            writer=$!
            ;;
        dangling) ln -s "$d/nothing.abf" "$d/cell.abf" ;;
        loop) ln -s "$d/loop2.abf" "$d/cell.abf" && ln -s "$d/cell.abf" "$d/loop2.abf" ;;
        header-only) head -c 512 "$W/base/abf2.abf" >"$d/cell.abf" ;;
        sparse)
            cp "$W/base/abf2.abf" "$d/cell.abf"
            truncate -s 64M "$d/cell.abf"
            ;;
        esac
        local before=""
        [ "$kind" = sparse ] && before=$(head -c 200000 "$d/cell.abf" | cksum)
        case_begin "$d"
        case $program in
        psc) call "$d" - "$PSC" "${PSC_RUN[@]}" --output-dir o cell.abf ;;
        spk) call "$d" - "$SPK" "${SPK_RUN[@]}" --output-dir o cell.abf ;;
        info) call "$d" - "$INFO" cell.abf ;;
        esac
        if ended; then
            [ -n "$(leftovers "$d/o")" ] && note lost "temporary files left"
            case $kind in
            folder) [ -d "$d/cell.abf" ] || note lost "the folder cell.abf is gone" ;;
            empty) [ -f "$d/cell.abf" ] && [ ! -s "$d/cell.abf" ] || note lost "the empty file changed" ;;
            sparse) [ "$(head -c 200000 "$d/cell.abf" | cksum)" = "$before" ] || note lost "the recording changed" ;;
            esac
            case $rc in
            0) grep -qi error "$d/err" && note unclear "status 0 with an error text"
               case $kind in sparse | fifo-fed) ;; *) note unclear "status 0 on a file that is no recording ($kind)" ;; esac ;;
            1) err_names cell.abf || note unclear "status 1, standard error does not name cell.abf" ;;
            *) note unclear "status $rc for a file that is no recording (0 or 1 expected)" ;;
            esac
        fi
        if [ -n "$writer" ]; then
            kill "$writer" 2>/dev/null
            wait "$writer" 2>/dev/null
        fi
        case_end
    done
}
for kind in empty folder devzero devurandom fifo fifo-fed dangling loop header-only sparse; do
    special_case "$kind"
done

# ---------------------------------------------------------------- garbage parameter files
row_begin "garbage --params"
# Rows with limits (label|min|max|int) and choice rows (label|letters) of each program.
psc_limited=("Channel number|0|15|1" "Cal. pos. (1..25)|0|25|1" "Frame length (samples)|64|30000|1"
    "Filtering (Hz)|0|10000|0" "Differentiation window (ms)|0.01|200|0" "Diff. trigger ([+-]pa/ms)|-100|100|0"
    "Duration of trigger (ms)|0.01|100|0" "% trig. level to mark event start|0.1|99.9|0"
    "Search for peak over X time (ms)|0.001|500|0" "Max. PSC duration (ms, else: type I)|0|2000|0"
    "Type I or II baseline (ms)|0.001|20|0" "Events must be larger than X pA|0|200|0"
    "# of 256pt/blocks to export|1|100|1" "Period to Ignore (ms)|0|20000|0")
psc_choice=("Threshold: Percent Pk,Detect percent,Abs.|PDA" "Automatic Vertical Scaling:All,One,Ten,Full,Same|AOTFS")
spk_limited=("First Channel (0-15)|0|15|1" "Last Channel (0-15)|0|15|1" "Onset of spike counting (ms)|0|100000|0"
    "Max Spike Duration (ms)|0|50|0" "Gap Free Frame Length (samples)|100|100000|1"
    "Spike detection threshold (mV)|-60|50|0" "Detection Hysteresis (mV)|-60|50|0"
    "Interval to Measure|1|2147483647|1")
spk_choice=("Detection method:Threshold,RMS noise|TR" "Spike Polarity:Positive,Negative|PN"
    "Stimulus Epoch for counting:A,B,C,D,E,F,None|ABCDEFN")
psc_rec=$W/base/episodic.abf
spk_rec=$W/base/spikes.abf
# Each file: kind (i mod 5) 0 random bytes, 1 a very long line, 2 a value beyond its row's
# limits, 3 a choice by a letter not its row's, 4 one value beyond its limits among odd lines
# (carriage returns, broken section lines, bytes that are not UTF-8). Written by perl, seeded; "expect" beside it says whether a refusal (2) is certain.
write_params() {  # FILE INDEX PROGRAM
    local -n limited=$3_limited choice=$3_choice
    perl -e '
        my ($file, $i, $seed, $nl, @rows) = @ARGV;
        my @lim = @rows[0 .. $nl - 1]; my @ch = @rows[$nl .. $#rows];
        srand($seed * 7919 + $i);
        my $kind = $i % 5;
        sub beyond {
            my ($min, $max, $int) = @_;
            # Integers are read by their leading digits ("1e30" is 1), so those rows get digits.
            my @v = ($max + 1, $min - 1, $max * 10 + 7, "9" x (20 + int(rand(400))), "-" . ("9" x 30));
            push @v, ("-1e30", "1e30", "1e999", "-1e999") unless $int;
            @v = grep { $_ !~ /^-?\d+$/ || $_ > $max || $_ < $min } @v;
            return $v[int(rand(@v))];
        }
        my ($text, $expect, $label) = ("", 2, "");
        my $pick = sub { my @f = split /\|/, $lim[int(rand(@lim))]; return @f };
        if ($kind == 0) {
            $text = rand() < 0.5 ? "[Parameters]\n" : "";
            $text .= chr(int(rand(256))) for 1 .. 16 + int(rand(4000));
            $expect = ($text =~ /[\x00-\x08\x0e-\x1f\x7f]/) ? 2 : 0;
        } elsif ($kind == 1) {
            ($label, my $min, my $max, my $int) = $pick->();
            my $long = 1000 + int(rand(300000));
            my $r = rand();
            if ($r < 0.5) { $text = "[Parameters]\n$label=" . ("7" x $long) . "\n"; }
            elsif ($r < 0.75) { $text = "[Parameters]\n" . ("L" x $long) . "=1\n$label=" . beyond($min, $max, $int) . "\n"; }
            else { $text = "[Parameters]\n" . ("x" x $long) . "\n$label=" . beyond($min, $max, $int) . "\n"; }
        } elsif ($kind == 2) {
            ($label, my $min, my $max, my $int) = $pick->();
            $text = "[Parameters]\n$label=" . beyond($min, $max, $int) . "\n";
        } elsif ($kind == 3) {
            ($label, my $letters) = split /\|/, $ch[int(rand(@ch))];
            my @bad = grep { index(uc $letters, $_) < 0 } ("G" .. "Z", "0" .. "9", "_");
            $text = "[Parameters]\n$label=" . $bad[int(rand(@bad))] . "oops\n";
        } else {
            ($label, my $min, my $max, my $int) = $pick->();
            my @odd = ("[Parameters", "=5", "==", "[]", "[Parameters]]", "no equals sign", " = ",
                       "[Other]\nx=1\n[Parameters]", "key=value=value", ";comment", "#comment=1",
                       "\xef\xbb\xbf[Parameters]", "\xc3\x28=\xa0\xa1", "Frames=1..3", "\r");
            # The value first: a later section line may end [Parameters], and a section read
            # again is not read twice.
            $text = "[Parameters]\r\n$label=" . beyond($min, $max, $int) . "\n";
            $text .= $odd[int(rand(@odd))] . (rand() < 0.3 ? "\r\n" : "\n") for 1 .. 1 + int(rand(6));
        }
        open(my $o, ">:raw", $file) or die; print $o $text; close $o;
        open(my $e, ">", "$file.expect") or die; print $e "$expect\n$label\n"; close $e;
    ' "$1" "$2" "$seed" "${#limited[@]}" "${limited[@]}" "${choice[@]}"
}
for ((i = 0; i < cases; i++)); do
    for program in psc spk; do
        d=$W/cases/params-$i-$program
        mkdir -p "$d/o"
        write_params "$d/bad.prm" "$i" "$program"
        { read -r expect; read -r label; } <"$d/bad.prm.expect"
        if [ "$program" = psc ]; then
            ln "$psc_rec" "$d/cell.abf" 2>/dev/null || cp "$psc_rec" "$d/cell.abf"
            before=$(sum_of "$d/bad.prm")
            case_begin "$d"
            call "$d" - "$PSC" "${PSC_RUN[@]}" --params bad.prm --output-dir o cell.abf
        else
            ln "$spk_rec" "$d/cell.abf" 2>/dev/null || cp "$spk_rec" "$d/cell.abf"
            before=$(sum_of "$d/bad.prm")
            case_begin "$d"
            call "$d" - "$SPK" "${SPK_RUN[@]}" --params bad.prm --output-dir o cell.abf
        fi
        if ended; then
            [ "$(sum_of "$d/bad.prm")" = "$before" ] || note lost "the parameter file changed"
            [ -n "$(leftovers "$d/o")" ] && note lost "temporary files left"
            case $rc in
            2) err_names bad.prm ${label:+"$label"} || note unclear "status 2, standard error names neither bad.prm nor the row" ;;
            0) if [ "$expect" = 2 ]; then note unclear "status 0: a value to refuse taken without a word"; fi
               grep -qi error "$d/err" && note unclear "status 0 with an error text" ;;
            1) err_names cell.abf bad.prm || note unclear "status 1, standard error names neither cell.abf nor bad.prm" ;;
            *) note unclear "status $rc (2 expected)" ;;
            esac
        fi
        case_end
    done
done

# ---------------------------------------------------------------- malformed --set values
row_begin "malformed --set"
bad_numbers=("" "--5" "1.5.5" "1e" "1e999" "-1e999" "NaN" "nan" "-nan" "inf" "-inf" "1e+" "e5" "+-1" "0x10"
    "1,5" "." "-" "+" "5abc" "1 2" "١" "1d5" "++1")
set_case() {  # PROGRAM ARGUMENT NAME...: one --set that must be refused; NAME... one of them on stderr
    local program=$1 argument=$2
    shift 2
    local d=$W/cases/set-$(printf '%04d' "${n_cases[$row]}")-$program
    mkdir -p "$d/o"
    if [ "$program" = psc ]; then
        ln "$psc_rec" "$d/cell.abf" 2>/dev/null || cp "$psc_rec" "$d/cell.abf"
        case_begin "$d"
        call "$d" - "$PSC" "${PSC_RUN[@]}" --output-dir o --set "$argument" cell.abf
    else
        ln "$spk_rec" "$d/cell.abf" 2>/dev/null || cp "$spk_rec" "$d/cell.abf"
        case_begin "$d"
        call "$d" - "$SPK" "${SPK_RUN[@]}" --output-dir o --set "$argument" cell.abf
    fi
    if ended; then
        [ -n "$(ls -A "$d/o")" ] && [ "$rc" = 2 ] && note lost "outputs written although the run was refused"
        case $rc in
        2) err_names "$@" || note unclear "status 2, standard error names none of: $*" ;;
        0) note unclear "status 0: --set \"$argument\" taken without a word" ;;
        1) err_names cell.abf || note unclear "status 1 (2 expected), standard error does not name cell.abf" ;;
        *) note unclear "status $rc (2 expected)" ;;
        esac
    fi
    case_end
}
for label in "Filtering (Hz)" "Frame length (samples)" "Diff. trigger ([+-]pa/ms)" "Channel number" \
    "Gain for float pt. abf files?" "Maximum Current (pA)"; do
    for v in "${bad_numbers[@]}"; do set_case psc "$label=$v" "$label"; done
done
for label in "Interval to Measure" "Spike detection threshold (mV)" "Burst Window (ms)" "# spikes/burst"; do
    for v in "${bad_numbers[@]}"; do set_case spk "$label=$v" "$label"; done
done
# Frame lists that are no lists (a step below 1 included), choices by foreign letters, rows
# that do not exist, and no "=".
for v in "" "3abc" "1..3Q0" "1..3Q" "1..3Q-2" "1.5.5" "NaN" "--5" "1e999"; do set_case psc "Frames=$v" Frames; done
for v in "" "maybe" "2" "?"; do set_case psc "Export ASCII=$v" "Export ASCII"; done
for v in "Z" "" "9"; do set_case psc "Threshold: Percent Pk,Detect percent,Abs.=$v" "Threshold"; done
for v in "X" "" "0"; do set_case spk "Spike Polarity=$v" "Spike Polarity"; done
set_case psc "No such row=1" "No such row"
set_case psc "Filtering (Hz)" "Filtering"
set_case psc "=5" "labelled"
set_case spk "No such row=1" "No such row"
set_case spk "Interval to Measure" "Interval"

# ---------------------------------------------------------------- outputs that cannot be written
row_begin "unwritable outputs"
# Reference outputs of whole runs, to tell a whole output from part of one.
ref=$W/base/outref
mkdir -p "$ref/psc/o" "$ref/spk/o"
cp "$W/base/demo.abf" "$ref/psc/cell.abf"
cp "$W/base/spikes.abf" "$ref/spk/cell.abf"
(cd "$ref/psc" && "$PSC" "${PSC_RUN[@]}" --output-dir o cell.abf >/dev/null 2>&1)
(cd "$ref/spk" && "$SPK" "${SPK_RUN[@]}" --set "Raw Data Output (U)=Y" --output-dir o cell.abf >/dev/null 2>&1)
# Status 0: every output whole; status 1: no completion line, what is visible is whole, nothing
# temporary left, the recording named.
check_outputs() {  # PROGRAM REF_DIR OUT_DIR
    local program=$1 refdir=$2 outdir=$3 f
    ended || return
    [ "$(sum_of "$cdir/cell.abf")" = "$rec_sum" ] || note lost "the recording changed"
    [ -d "$outdir" ] && [ -n "$(leftovers "$outdir")" ] && note lost "temporary files left: $(leftovers "$outdir")"
    if [ -d "$outdir" ]; then
        for f in "$outdir"/*; do
            [ -f "$f" ] || continue
            if [ ! -f "$refdir/${f##*/}" ]; then
                note lost "unexpected output ${f##*/}"
            elif ! cmp -s "$f" "$refdir/${f##*/}"; then
                note lost "output ${f##*/} is not whole ($(stat -c %s "$f") of $(stat -c %s "$refdir/${f##*/}") bytes)"
            fi
        done
    fi
    local done_line='cell.abf->Done'
    [ "$program" = spk ] && done_line='Ouput File'
    case $rc in
    0)
        grep -qi error "$cdir/err" && note unclear "status 0 with an error text"
        for f in "$refdir"/*; do
            [ -f "$outdir/${f##*/}" ] || note lost "status 0 without the output ${f##*/}"
        done
        ;;
    1)
        grep -qF "$done_line" "$cdir/out" && note lost "status 1 but \"$done_line\" on standard output"
        err_names cell.abf o/ || note unclear "status 1, standard error names neither the recording nor an output"
        ;;
    *) note unclear "status $rc (1 expected)" ;;
    esac
}
new_output_case() {  # NAME PROGRAM: a folder with the recording, returns via cdir
    local d=$W/cases/out-$1
    mkdir -p "$d"
    if [ "$2" = psc ]; then cp "$W/base/demo.abf" "$d/cell.abf"; else cp "$W/base/spikes.abf" "$d/cell.abf"; fi
    rec_sum=$(sum_of "$d/cell.abf")
    case_begin "$d"
}
# A disk that fills up: file size limits from a few kB to past the largest output.
for blocks in 2 3 4 6 8 12 16 24 32 48 64 96 128 192 256 384 512 768 1024; do
    new_output_case "fsize-$blocks-psc" psc
    mkdir -p "$cdir/o"
    call "$cdir" "$blocks" "$PSC" "${PSC_RUN[@]}" --output-dir o cell.abf
    check_outputs psc "$ref/psc/o" "$cdir/o"
    case_end
    new_output_case "fsize-$blocks-spk" spk
    mkdir -p "$cdir/o"
    call "$cdir" "$blocks" "$SPK" "${SPK_RUN[@]}" --set "Raw Data Output (U)=Y" --output-dir o cell.abf
    check_outputs spk "$ref/spk/o" "$cdir/o"
    case_end
done
# Names too long for the folder: the recording's name near 255 bytes, so some outputs' names
# fit and others do not.
for len in 240 246 248 249 250 251 252 253 255; do
    for program in psc spk; do
        d=$W/cases/out-long-$len-$program
        mkdir -p "$d/o"
        name=$(head -c $((len - 4)) /dev/zero | tr '\0' c).abf
        if [ "$program" = psc ]; then cp "$W/base/demo.abf" "$d/$name"; else cp "$W/base/spikes.abf" "$d/$name"; fi
        rec_sum=$(sum_of "$d/$name")
        case_begin "$d"
        if [ "$program" = psc ]; then
            call "$d" - "$PSC" "${PSC_RUN[@]}" --output-dir o "$name"
        else
            call "$d" - "$SPK" "${SPK_RUN[@]}" --output-dir o "$name"
        fi
        if ended; then
            [ "$(sum_of "$d/$name")" = "$rec_sum" ] || note lost "the recording changed"
            [ -n "$(leftovers "$d/o")" ] && note lost "temporary files left: $(leftovers "$d/o")"
            case $rc in
            0)
                grep -qi error "$d/err" && note unclear "status 0 with an error text"
                [ -n "$(ls "$d/o")" ] || note lost "status 0 and no output"
                ;;
            1)
                { [ "$program" = psc ] && grep -qF -- "->Done" "$d/out"; } && note lost "status 1 but ->Done"
                { [ "$program" = spk ] && grep -qF 'Ouput File' "$d/out"; } && note lost "status 1 but the output file line"
                err_names ccccc || note unclear "status 1, standard error names neither the recording nor an output"
                ;;
            *) note unclear "status $rc (0 or 1 expected)" ;;
            esac
        fi
        case_end
    done
done
# Output folders that take no files: a regular file, a path through a file, /proc.
for target in file file/sub /proc/self; do
    for program in psc spk; do
        new_output_case "dir-${target//\//_}-$program" "$program"
        printf 'notes\n' >"$cdir/file"
        if [ "$program" = psc ]; then
            call "$cdir" - "$PSC" "${PSC_RUN[@]}" --output-dir "$target" cell.abf
        else
            call "$cdir" - "$SPK" "${SPK_RUN[@]}" --output-dir "$target" cell.abf
        fi
        if ended; then
            [ "$(cat "$cdir/file" 2>/dev/null)" = notes ] || note lost "the file standing for the folder changed"
            [ "$(sum_of "$cdir/cell.abf")" = "$rec_sum" ] || note lost "the recording changed"
            case $rc in
            1 | 2) err_names cell.abf "$target" || note unclear "status $rc, standard error names neither the recording nor the folder" ;;
            0) note lost "status 0 with the outputs nowhere" ;;
            *) note unclear "status $rc (1 expected)" ;;
            esac
            [ "$program" = psc ] && grep -qF -- "->Done" "$cdir/out" && note lost "->Done without outputs"
        fi
        case_end
    done
done

# ---------------------------------------------------------------- existing outputs kept
row_begin "existing outputs kept"
# Each output of a whole run made beforehand (and all at once) with other contents. psctrawl
# without --overwrite keeps every one byte for byte and the run fails naming it; spktal writes its
# outputs over an earlier run's, so there each must be the whole new output and the run done.
# Also an output that is a link to the recording itself: with --overwrite the link is replaced,
# never the recording.
keep_case() {  # PROGRAM LABEL OUTPUTS... (names, or @all)
    local program=$1 label=$2
    shift 2
    local refdir=$ref/$program/o
    new_output_case "keep-$label-$program" "$program"
    mkdir -p "$cdir/o"
    local names=("$@") f
    [ "$1" = @all ] && names=($(ls "$refdir"))
    for f in "${names[@]}"; do printf 'an earlier %s\n' "$f" >"$cdir/o/$f"; done
    if [ "$program" = psc ]; then
        call "$cdir" - "$PSC" "${PSC_RUN[@]}" --output-dir o cell.abf
    else
        call "$cdir" - "$SPK" "${SPK_RUN[@]}" --set "Raw Data Output (U)=Y" --output-dir o cell.abf
    fi
    if ended && [ "$program" = spk ]; then
        for f in "${names[@]}"; do
            cmp -s "$cdir/o/$f" "$refdir/$f" || note lost "$f is not the whole new output"
        done
        [ "$(sum_of "$cdir/cell.abf")" = "$rec_sum" ] || note lost "the recording changed"
        [ -n "$(leftovers "$cdir/o")" ] && note lost "temporary files left"
        [ "$rc" = 0 ] || note unclear "status $rc (0 expected)"
    elif ended; then
        for f in "${names[@]}"; do
            [ "$(cat "$cdir/o/$f" 2>/dev/null)" = "an earlier $f" ] || note lost "the existing $f was replaced"
        done
        [ "$(sum_of "$cdir/cell.abf")" = "$rec_sum" ] || note lost "the recording changed"
        [ -n "$(leftovers "$cdir/o")" ] && note lost "temporary files left"
        case $rc in
        1) err_names "${names[@]}" || note unclear "status 1, standard error names none of the kept outputs" ;;
        0) note unclear "status 0 although an existing output was not replaced (1 expected)" ;;
        *) note unclear "status $rc (1 expected)" ;;
        esac
    fi
    case_end
}
for f in $(ls "$ref/psc/o") @all; do keep_case psc "${f//@/}" "$f"; done
for f in $(ls "$ref/spk/o") @all; do keep_case spk "${f//@/}" "$f"; done
# The "Over write output files" row set to N in a parameter file does not change that.
new_output_case keep-row-psc psc
mkdir -p "$cdir/o"
first=$(ls "$ref/psc/o" | head -n 1)
printf 'an earlier table\n' >"$cdir/o/$first"
printf '[Parameters]\nOver write output files=N\n' >"$cdir/no.prm"
call "$cdir" - "$PSC" "${PSC_RUN[@]}" --params no.prm --output-dir o cell.abf
if ended; then
    [ "$(cat "$cdir/o/$first")" = "an earlier table" ] || note lost "the existing $first was replaced"
    [ "$rc" = 1 ] || note unclear "status $rc (1 expected)"
fi
case_end
# An output name that is a link to the recording.
for over in no yes; do
    new_output_case "keep-link-$over" psc
    mkdir -p "$cdir/o"
    ln -s ../cell.abf "$cdir/o/$first"
    if [ "$over" = yes ]; then
        call "$cdir" - "$PSC" "${PSC_RUN[@]}" --overwrite --output-dir o cell.abf
    else
        call "$cdir" - "$PSC" "${PSC_RUN[@]}" --output-dir o cell.abf
    fi
    if ended; then
        [ "$(sum_of "$cdir/cell.abf")" = "$rec_sum" ] || note lost "the recording was written through the link $first"
        if [ "$over" = no ]; then
            [ -L "$cdir/o/$first" ] || note lost "the link $first was replaced without --overwrite"
            [ "$rc" = 1 ] || note unclear "status $rc (1 expected)"
        else
            [ "$rc" = 0 ] || note unclear "status $rc with --overwrite (0 expected)"
        fi
    fi
    case_end
done
# abfsynth: an existing recording is not replaced without --overwrite.
new_output_case keep-abfsynth psc
call "$cdir" - "$SYNTH" --out cell.abf --duration 1
if ended; then
    [ "$(sum_of "$cdir/cell.abf")" = "$rec_sum" ] || note lost "abfsynth replaced the recording"
    case $rc in
    0) note lost "status 0 and the recording asked for is not written" ;;
    *) err_names cell.abf || note unclear "status $rc, standard error does not name cell.abf" ;;
    esac
fi
case_end

# ---------------------------------------------------------------- the table
row_begin ""
bad=0
printf '\n%-24s | %6s | %7s | %5s | %9s | %16s\n' test cases crashes hangs "data lost" "unclear messages"
printf '%s\n' "-------------------------+--------+---------+-------+-----------+-----------------"
for r in "${rows[@]}"; do
    printf '%-24s | %6d | %7d | %5d | %9d | %16d\n' "$r" "${n_cases[$r]}" "${n_crash[$r]}" "${n_hang[$r]}" \
        "${n_lost[$r]}" "${n_unclear[$r]}"
    [ $((n_crash[$r] + n_hang[$r] + n_lost[$r])) -gt 0 ] && bad=1
done
if [ -s "$flagged" ]; then
    printf '\nFlagged cases (all in %s):\n' "$flagged"
    head -n 60 "$flagged"
    [ "$(wc -l <"$flagged")" -gt 60 ] && echo "    ..."
fi
exit $bad
