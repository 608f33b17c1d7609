// The chunk history: a ring of records over one circular sample memory, with
// undo, redo and the copy-on-play fill of new versions.
#include "quillomat_internal.h"

#include <cstring>

namespace {

// Whether the chunk start lies in [start, start + length) on the ring.
bool startInRegion(const QuillomatI* q, uint32_t start, uint32_t length, uint32_t pos) {
    const uint64_t end = (uint64_t)start + length;
    if (end < q->lBufferSize) return pos >= start && pos < (uint32_t)end;
    return pos >= start || pos < (uint32_t)(end & q->lBufferSizeMask);
}

// Whether two stretches of the ring share a cell.
bool regionsOverlap(const QuillomatI* q, uint32_t a, uint32_t la, uint32_t b, uint32_t lb) {
    if (la == 0 || lb == 0) return false;
    if ((uint64_t)la + lb > q->lBufferSize) return true;
    return ((b - a) & q->lBufferSizeMask) < la || ((a - b) & q->lBufferSizeMask) < lb;
}

// The chunk whose memory c still reads from: its source while it owes
// copies, unless it lies over that source in step (then it reads only the
// cells under itself).
const LoopChunk* neededSource(const LoopChunk* c) {
    return qmOwesCopies(c) && c->overSource != QM_IN_STEP ? c->srcloop : nullptr;
}

// Whether [start, start + length) covers a chunk that a version made from
// `src` reads: src itself and the sources it still needs. `skip` is a source
// the version lies over by design.
bool coversSources(const QuillomatI* q, uint32_t start, uint32_t length, const LoopChunk* src,
                   const LoopChunk* skip) {
    uint32_t guard = q->lLoopChunkCount;
    for (const LoopChunk* c = src; c && c->valid && guard > 0; c = neededSource(c), --guard)
        if (c != skip && regionsOverlap(q, start, length, c->lLoopStart, c->lLoopLength)) return true;
    return false;
}

// Sources the version before `c` still copies from that lie under the memory
// `c` now claims are written over: copy-on-play takes silence from them from
// now on, never what `c` puts there. (Sources laid beside as usual are caught
// by coversSources first; this catches one left outside the history, a
// relaying insert's, under a recording or a delay.)
void dropOverwrittenSources(const QuillomatI* q, uint32_t start, uint32_t length, const LoopChunk* c) {
    uint32_t guard = q->lLoopChunkCount;
    for (LoopChunk* s = c->prev ? (LoopChunk*)neededSource(c->prev) : nullptr; s && s->valid && guard > 0;
         s = (LoopChunk*)neededSource(s), --guard)
        if (s != c && regionsOverlap(q, start, length, s->lLoopStart, s->lLoopLength)) s->valid = 0;
}

// Cuts every link to a record that is about to carry a new chunk. When the
// ring has come round to the oldest chunk still in the history, that chunk
// leaves it here, before anything can reach the record under its new meaning;
// a chunk that was still copying from it is then filled with silence, as from
// any source that is gone. A crossfade still being written into an old
// version ends here too.
void releaseRecord(QuillomatI* q, LoopChunk* r) {
    qmDropTail(q);
    if (q->tailLoopChunk == r) q->tailLoopChunk = r->next != r ? r->next : nullptr;
    for (uint32_t i = 0; i < q->lLoopChunkCount; ++i) {
        LoopChunk* c = &q->pLoopChunks[i];
        if (c->prev == r) c->prev = nullptr;
        if (c->next == r) c->next = nullptr;
        if (c->srcloop == r) c->srcloop = nullptr;
    }
}

void resetChunk(LoopChunk* c, uint32_t start, LoopChunk* src) {
    memset(c, 0, sizeof(*c));
    c->lLoopStart = start;
    c->lCycles = 1;
    c->valid = 1;
    qmClearFront(c);
    qmClearBack(c);
    c->srcloop = src;
}

// The record after the head, emptied for a new version laid at `start` that
// takes the head's shape and position to begin with.
LoopChunk* takeRecord(QuillomatI* q, uint32_t start, LoopChunk* src) {
    LoopChunk* head = q->headLoopChunk;
    LoopChunk* c = head == q->lastLoopChunk ? q->pLoopChunks : head + 1;
    releaseRecord(q, c);
    resetChunk(c, start, src);
    c->lCycles = head->lCycles;
    c->lCycleLength = head->lCycleLength;
    c->lLoopLength = head->lLoopLength;
    c->dCurrPos = head->dCurrPos;
    return c;
}

float sourceSample(const QuillomatI* q, const LoopChunk* s, int64_t index) {
    if (!s || !s->valid || s->lLoopLength == 0) return 0.0f;
    int64_t m = index % (int64_t)s->lLoopLength;
    if (m < 0) m += s->lLoopLength;
    return *qmCell(q, s, (uint32_t)m);
}

void copyFront(QuillomatI* q, LoopChunk* c, uint32_t position) {
    // Position 0 of a multiply's chunk is lStartAdj in its source, in front
    // of its start as behind it.
    *qmCell(q, c, position) = sourceSample(q, c->srcloop, (int64_t)position + c->lStartAdj);
}

// A relaying chunk's cells run on over its source's start: before one is
// written, the source cell under it must have gone where it belongs. The
// front is copied as the play position reaches it, or here, in order, as far
// as the cell under `position`; every front cell lands in free memory. What
// follows an insert is read from cells the chunk writes only further back, as
// long as it is copied forwards (qmCanTurn holds reverses meanwhile).
void relayFront(QuillomatI* q, LoopChunk* c, uint32_t position) {
    const LoopChunk* s = c->srcloop;
    if (!s || !s->valid || !c->frontfill) return;
    const uint32_t under = (c->lLoopStart + position - s->lLoopStart) & q->lBufferSizeMask;
    if (under >= s->lLoopLength || under < c->lMarkL || under > c->lMarkH) return;
    for (uint32_t p = c->lMarkL; p <= under; ++p) copyFront(q, c, p);
    if (under >= c->lMarkH) qmClearFront(c);
    else c->lMarkL = under + 1;
}

// A cell of an owed range [lo, hi] has been copied: the range shrinks past it
// from the side the position comes from, so it always holds only cells still
// owed (a turn of direction never copies over one written since). True when
// nothing is left.
bool copied(uint32_t& lo, uint32_t& hi, uint32_t position, bool forward) {
    if (forward ? position >= hi : position <= lo) return true;
    if (forward) lo = position + 1;
    else hi = position - 1;
    return false;
}

void fillOne(QuillomatI* q, LoopChunk* c, uint32_t position, bool forward) {
    if (c->overSource == QM_RELAY) relayFront(q, c, position);
    if (c->frontfill && c->lMarkL <= position && position <= c->lMarkH) {
        copyFront(q, c, position);
        if (copied(c->lMarkL, c->lMarkH, position, forward)) qmClearFront(c);
    } else if (c->backfill && c->lMarkEndL <= position && position <= c->lMarkEndH) {
        const int64_t index = (int64_t)position + c->lStartAdj - (int64_t)c->lEndAdj;
        *qmCell(q, c, position) = sourceSample(q, c->srcloop, index);
        if (copied(c->lMarkEndL, c->lMarkEndH, position, forward)) qmClearBack(c);
    }
}

}  // namespace

LoopChunk* pushNewLoopChunk(QuillomatI* q, uint32_t initLength, LoopChunk* src) {
    if (!q->headLoopChunk) {
        // A fresh start at the beginning of the memory: whatever the old
        // history still held is dropped.
        LoopChunk* c = q->pLoopChunks;
        releaseRecord(q, c);
        resetChunk(c, 0, src);
        q->headLoopChunk = q->tailLoopChunk = c;
        return c;
    }
    return ensureLoopSpace(q, nullptr, initLength, src);
}

LoopChunk* ensureLoopSpace(QuillomatI* q, LoopChunk* loop, uint32_t more, LoopChunk* src) {
    if (loop) {
        const uint64_t grown = (uint64_t)loop->lLoopLength + more;
        if (grown > q->lBufferSize || (loop->lMaxLength && grown > loop->lMaxLength)) return nullptr;
        const LoopChunk* over = loop->overSource != QM_BESIDE ? loop->srcloop : nullptr;
        if (coversSources(q, loop->lLoopStart, (uint32_t)grown, loop->srcloop, over)) return nullptr;
        invalidateTails(q, loop->lLoopStart, (uint32_t)grown, loop);
        dropOverwrittenSources(q, loop->lLoopStart, (uint32_t)grown, loop);
        return loop;
    }

    LoopChunk* head = q->headLoopChunk;
    if (!head) return nullptr;
    const uint32_t start = (head->lLoopStart + head->lLoopLength) & q->lBufferSizeMask;
    // The new chunk takes `more` samples right after the head; it must fit in
    // the memory without covering what it copies from, or that source (the
    // loop being played) would be lost.
    if (more > q->lBufferSize || coversSources(q, start, more, src, nullptr)) return nullptr;

    LoopChunk* c = takeRecord(q, start, src);
    c->prev = head;
    head->next = c;
    q->headLoopChunk = c;
    if (!q->tailLoopChunk) q->tailLoopChunk = head;
    invalidateTails(q, start, more, c);
    dropOverwrittenSources(q, start, more, c);
    return c;
}

uint32_t qmRoomAt(const QuillomatI* q, uint32_t start, const LoopChunk* src) {
    uint32_t room = q->lBufferSize;
    uint32_t guard = q->lLoopChunkCount;
    for (const LoopChunk* c = src; c && c->valid && guard > 0; c = neededSource(c), --guard) {
        if (c->lLoopLength == 0) continue;
        if (regionsOverlap(q, start, 1, c->lLoopStart, c->lLoopLength)) return 0;
        const uint32_t ahead = (c->lLoopStart - start) & q->lBufferSizeMask;
        if (ahead < room) room = ahead;
    }
    return room;
}

LoopChunk* qmLayOver(QuillomatI* q, LoopChunk* s, uint32_t start, uint32_t claim, int how) {
    LoopChunk* c = takeRecord(q, start, s);
    c->overSource = how;
    // s leaves the history: what came before it is what undo reaches now.
    c->prev = s->prev;
    if (c->prev) c->prev->next = c;
    s->prev = s->next = nullptr;
    if (!c->prev || q->tailLoopChunk == s) q->tailLoopChunk = c;
    q->headLoopChunk = c;
    invalidateTails(q, start, claim, c);
    return c;
}

bool invalidateTails(QuillomatI* q, uint32_t start, uint32_t length, LoopChunk* current) {
    if (!q->tailLoopChunk) return false;
    uint32_t guard = q->lLoopChunkCount + 1;
    while (q->tailLoopChunk && q->tailLoopChunk != current && guard-- > 0 &&
           startInRegion(q, start, length, q->tailLoopChunk->lLoopStart)) {
        LoopChunk* t = q->tailLoopChunk;
        if (t->valid) {
            t->valid = 0;
            if (t->next) t->next->prev = nullptr;
            q->tailLoopChunk = t->next;
        } else {
            q->tailLoopChunk = nullptr;
        }
    }
    if (!q->tailLoopChunk) q->tailLoopChunk = current;
    return true;
}

void popHeadLoop(QuillomatI* q) {
    LoopChunk* h = q->headLoopChunk;
    if (!h || !h->prev) {
        q->headLoopChunk = nullptr;
        return;
    }
    q->headLoopChunk = h->prev;
    if (!q->headLoopChunk->prev) q->tailLoopChunk = q->headLoopChunk;
}

bool undoLoop(QuillomatI* q) {
    LoopChunk* h = q->headLoopChunk;
    if (!h) return true;
    LoopChunk* p = h->prev;
    if (!p && h->fromLoop) {
        qmRefuse(q);
        return false;
    }
    if (p) p->dCurrPos = qmWrap(h->dCurrPos + (double)h->lStartAdj, p->lLoopLength);
    popHeadLoop(q);
    qmCloseWrites(q);
    return true;
}

void redoLoop(QuillomatI* q) {
    LoopChunk* h = q->headLoopChunk;
    LoopChunk* c = h ? h->next : q->tailLoopChunk;
    if (!c || !c->valid) return;
    if (h) c->dCurrPos = qmWrap(h->dCurrPos + (double)h->lStartAdj, c->lLoopLength);
    else c->dCurrPos = 0.0;
    q->headLoopChunk = c;
    qmCloseWrites(q);
}

void clearLoopChunks(QuillomatI* q) {
    q->headLoopChunk = nullptr;
    qmCloseWrites(q);
}

void fillLoops(QuillomatI* q, LoopChunk* loop, uint32_t position) {
    LoopChunk* deepest = nullptr;
    uint32_t guard = q->lLoopChunkCount;
    for (LoopChunk* c = loop; c && c->valid && qmOwesCopies(c) && guard > 0; c = c->srcloop, --guard)
        deepest = c;
    if (!deepest) return;

    const bool forward = q->fCurrRate > 0.0f;
    guard = q->lLoopChunkCount;
    for (LoopChunk* c = deepest; c && guard > 0; c = c->next, --guard) {
        fillOne(q, c, position, forward);
        if (c == loop) break;
    }
}

void fillChunk(QuillomatI* q, LoopChunk* chunk, uint32_t position) {
    if (chunk && chunk->valid) fillOne(q, chunk, position, q->fCurrRate > 0.0f);
}

void qm_current_loop_version(LADSPA_Handle instance, const void** version, uint32_t* start, uint32_t* length) {
    const QuillomatI* q = (const QuillomatI*)instance;
    const LoopChunk* c = q ? q->headLoopChunk : nullptr;
    if (version) *version = c;
    if (start) *start = c ? c->lLoopStart : 0;
    if (length) *length = c ? (c->lLoopLength < q->lBufferSize ? c->lLoopLength : q->lBufferSize) : 0;
}

unsigned long qm_read_current_loop_audio(LADSPA_Handle instance, float* buf, unsigned long frames,
                                         unsigned long offset) {
    const QuillomatI* q = (const QuillomatI*)instance;
    if (!q || !buf) return 0;
    const LoopChunk* c = q->headLoopChunk;
    if (!c) return 0;
    unsigned long length = c->lLoopLength;
    if (length > q->lBufferSize) length = q->lBufferSize;
    if (offset > length) return 0;
    const unsigned long n = frames < length - offset ? frames : length - offset;
    const uint32_t start = (uint32_t)((c->lLoopStart + offset) & q->lBufferSizeMask);
    const unsigned long toEnd = q->lBufferSize - start;
    const unsigned long first = n < toEnd ? n : toEnd;
    memcpy(buf, q->pSampleBuf + start, first * sizeof(float));
    if (n > first) memcpy(buf + first, q->pSampleBuf, (n - first) * sizeof(float));
    return n;
}
