#!/usr/bin/env bash
# make_model.sh OUTDIR "some words here"
#
# Builds a tiny *synthetic* Vosk (Kaldi nnet3) model directory that the real
# prebuilt libvosk.so loads.  Its decoding graph is one linear path that emits
# exactly the given word sequence, and (by default) its acoustic model ignores
# the audio (all weights zero), so any audio that yields enough decoded frames
# is transcribed as exactly those words.  Audio shorter than about 0.255 s (4080 samples) decodes to nothing:
# the decoder only releases whole chunks of 24 feature frames.
#
# Needs: bash, python3 (stdlib only), fstcompile + fstarcsort (Debian package
# libfst-tools).  Nothing is downloaded.
#
# Tunables (environment variables):
#   SUBSAMPLING   --frame-subsampling-factor written to conf/model.conf (default 3,
#                 as in real Vosk models; 1 decodes 10 ms frames instead of 30 ms)
#   FRAMES_PER_CHUNK  if set, --frames-per-chunk for conf/model.conf (default in
#                 the Kaldi inside libvosk 0.3.39 is 24; rounded up to a multiple
#                 of SUBSAMPLING).  Smaller = decodes shorter audio.
#   NUM_CEPS      MFCC dimension / nnet input dim (default 13)
#   LOOP_COST     graph cost of staying inside a non-final word (default 1.0);
#                 makes the best path emit all words as early as possible
#   WORD_BOUNDARY 1 (default) writes graph/phones/word_boundary.int, 0 omits it
#   ACOUSTIC      "any" (default): the acoustic model ignores the audio; every
#                 input long enough is transcribed as the phrase.
#                 "energy": frames whose log energy (MFCC c0 with
#                 --use-energy=true) is above ENERGY_THRESHOLD score as speech,
#                 the rest as silence; silence-only audio gives an empty text
#                 and Kaldi endpointing works (rules 1-4 as in real models).
#   ENERGY_THRESHOLD  natural-log frame energy threshold for "energy" (default 12,
#                 i.e. RMS of about 20 on the int16 scale over a 400-sample frame)
#   ENERGY_SCALE  log-likelihood per unit of log energy above/below (default 1.0)
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 OUTDIR \"word1 word2 ...\"" >&2
  exit 2
fi
out=$1
words=$2

SUBSAMPLING=${SUBSAMPLING:-3}
FRAMES_PER_CHUNK=${FRAMES_PER_CHUNK:-}
NUM_CEPS=${NUM_CEPS:-13}
LOOP_COST=${LOOP_COST:-1.0}
WORD_BOUNDARY=${WORD_BOUNDARY:-1}
ACOUSTIC=${ACOUSTIC:-any}
ENERGY_THRESHOLD=${ENERGY_THRESHOLD:-12}
ENERGY_SCALE=${ENERGY_SCALE:-1.0}
case $ACOUSTIC in any|energy) ;; *) echo "$0: ACOUSTIC must be any or energy" >&2; exit 2;; esac

for tool in python3 fstcompile fstarcsort; do
  command -v "$tool" >/dev/null || { echo "$0: missing $tool (apt-get install libfst-tools python3)" >&2; exit 1; }
done

# Only overwrite an empty directory or an earlier generated model.
if [ -e "$out" ] && [ -n "$(ls -A "$out" 2>/dev/null)" ] && [ ! -e "$out/am/final.mdl" ]; then
  echo "$0: $out exists and does not look like a model directory; refusing to overwrite" >&2
  exit 1
fi
rm -rf "$out"
mkdir -p "$out/am" "$out/conf" "$out/graph/phones"

# The text files are written by python3 so that the exact whitespace Kaldi's
# text readers need (e.g. "<Nnet3> " followed by a newline) is under control.
python3 - "$out" "$words" "$SUBSAMPLING" "$FRAMES_PER_CHUNK" "$NUM_CEPS" "$LOOP_COST" "$WORD_BOUNDARY" \
          "$ACOUSTIC" "$ENERGY_THRESHOLD" "$ENERGY_SCALE" <<'PY'
import sys, os
out, text, sf, fpc, num_ceps, loop_cost, want_wb, acoustic, e_thr, e_scale = sys.argv[1:11]
sf = int(sf); num_ceps = int(num_ceps); loop_cost = float(loop_cost)
e_thr = float(e_thr); e_scale = float(e_scale)
energy = (acoustic == 'energy')

seq = text.split()
if not seq:
    sys.exit("make_model.sh: need at least one word")
for w in seq:
    if w.startswith('#') or w in ('<eps>',):
        sys.exit("make_model.sh: reserved word: %r" % w)

def write(rel, s):
    with open(os.path.join(out, rel), 'w') as f:
        f.write(s)

# ---- phones ----------------------------------------------------------------
# phone 1 = SIL : never used in the graph; needed because Kaldi's endpointing
#                 asserts a non-empty --endpoint.silence-phones list.
# phone 2 = WRD : every word is exactly one WRD phone ("singleton").
write('graph/phones.txt', '<eps> 0\nSIL 1\nWRD 2\n')
if want_wb == '1':
    write('graph/phones/word_boundary.int', '1 nonword\n2 singleton\n')

# ---- words -----------------------------------------------------------------
ids = {}
lines = ['<eps> 0']
for w in seq:
    if w not in ids:
        ids[w] = len(ids) + 1
        lines.append('%s %d' % (w, ids[w]))
write('graph/words.txt', '\n'.join(lines) + '\n')

# ---- acoustic model: TransitionModel + AmNnetSimple, Kaldi text format -----
# One topology for both phones: state 0 emits pdf-class 0, self-loop or exit;
# state 1 is the (non-emitting) final state.
# Tuples (phone, hmm-state, pdf) must be sorted: (1,0,0) (2,0,1).
# Transition-ids follow: 1 = SIL self-loop, 2 = SIL exit,
#                        3 = WRD self-loop, 4 = WRD exit.
num_pdfs = 2
tm = (
    "<TransitionModel> \n"
    "<Topology> \n"
    "<TopologyEntry> \n"
    "<ForPhones> \n1 2 \n</ForPhones> \n"
    "<State> 0 <PdfClass> 0 <Transition> 0 0.5 <Transition> 1 0.5 </State> \n"
    "<State> 1 </State> \n"
    "</TopologyEntry> \n"
    "</Topology> \n"
    "<Triples> 2 \n1 0 0 \n2 0 1 \n</Triples> \n"
    "<LogProbs> \n [ 0 -0.6931472 -0.6931472 -0.6931472 -0.6931472 ]\n</LogProbs> \n"
    "</TransitionModel> \n"
)
# nnet3: input (MFCC) -> FixedAffineComponent with all-zero weights and bias ->
# output.  Every pdf gets log-likelihood 0 on every frame, whatever the audio,
# so only the graph decides the result.  No ivector input, zero context.
# Note the "<Nnet3> " + newline: Kaldi reads the token, eats ONE whitespace
# char, then expects the rest of that line to be empty.
# With ACOUSTIC=energy, input dim 0 is the frame log energy E and
#   pdf 0 (SIL) = -s*(E - thr),  pdf 1 (WRD) = +s*(E - thr).
def num(x):
    return repr(float(x)) if x else '0'
rows, bias = [], []
for pdf in range(num_pdfs):
    sign = -1.0 if pdf == 0 else 1.0
    row = ['0'] * num_ceps
    b = 0.0
    if energy:
        row[0] = num(sign * e_scale)
        b = -sign * e_scale * e_thr
    rows.append('  ' + ' '.join(row))
    bias.append(num(b))
lin = '[\n' + '\n'.join(rows) + ' ]\n'
nnet = (
    "<Nnet3> \n"
    "input-node name=input dim=%d\n"
    "component-node name=affine component=affine input=input\n"
    "output-node name=output input=affine objective=linear\n"
    "\n"
    "<NumComponents> 1 \n"
    "<ComponentName> affine <FixedAffineComponent> <LinearParams> %s"
    "<BiasParams> [ %s ]\n"
    "</FixedAffineComponent> \n"
    "</Nnet3> \n"
    "<LeftContext> 0 <RightContext> 0 <Priors> [ ]\n"
) % (num_ceps, lin, ' '.join(bias))
write('am/final.mdl', tm + nnet)

# ---- configs ---------------------------------------------------------------
conf = [
    '--min-active=20',
    '--max-active=1000',
    '--beam=13.0',
    '--lattice-beam=6.0',
    '--acoustic-scale=1.0',
    '--frame-subsampling-factor=%d' % sf,
    '--endpoint.silence-phones=1',
]
if energy:  # same trailing-silence rules as real Vosk models
    conf += ['--endpoint.rule2.min-trailing-silence=0.5',
             '--endpoint.rule3.min-trailing-silence=1.0',
             '--endpoint.rule4.min-trailing-silence=2.0']
if fpc:
    conf.append('--frames-per-chunk=%d' % int(fpc))
write('conf/model.conf', '\n'.join(conf) + '\n')
write('conf/mfcc.conf',
      '--sample-frequency=16000\n--use-energy=%s\n--dither=0.0\n'
      '--num-ceps=%d\n' % ('true' if energy else 'false', num_ceps))

# ---- decoding graph (HCLG) as OpenFst text ---------------------------------
# state i-1 --(tid 4 = WRD exit) : word_i--> state i   (first frame of word i)
# state i   --(tid 3 = WRD self-loop) : eps--> state i (further frames)
# Self-loops of non-final states cost LOOP_COST, the last one costs 0, so the
# best (partial) path emits every word as soon as frames allow; the final
# state N is the only final state.
n = len(seq)
arcs = []
for i, w in enumerate(seq, start=1):
    arcs.append('%d %d 4 %d 0' % (i - 1, i, ids[w]))
    arcs.append('%d %d 3 0 %s' % (i, i, repr(loop_cost) if i < n else '0'))
if energy:
    # Silence = 1-frame SIL phones (tid 2 = SIL exit) looping before the
    # first word and after the last one; state 0 is also final, so audio
    # with no speech frames decodes to an empty text.
    arcs.append('0 0 2 0 0')
    arcs.append('%d %d 2 0 0' % (n, n))
    arcs.append('0 0')
arcs.append('%d 0' % n)
write('graph/HCLG.txt', '\n'.join(arcs) + '\n')
PY

fstcompile "$out/graph/HCLG.txt" | fstarcsort --sort_type=ilabel > "$out/graph/HCLG.fst"
rm -f "$out/graph/HCLG.txt"
