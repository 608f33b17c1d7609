// The chunk history: a ring of records over one circular sample memory, with
// undo, redo and the copy-on-play fill of new versions.
#include "quillomat_ops.h"

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

// Cuts every link to a record that is about to carry a new chunk. When the
// ring has come round to the oldest chunk still in the history, that chunk
// leaves it here, before anything can reach the record under its new meaning;
// a chunk that was still copying from it is then filled with silence, as from
// any source that is gone.
void releaseRecord(QuillomatI* q, LoopChunk* r) {
    if (q->tailLoopChunk == r) q->tailLoopChunk = r->next != r ? r->next : nullptr;
    if (q->pMovedChunk == r) q->pMovedChunk = nullptr;
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

float sourceSample(const QuillomatI* q, const LoopChunk* s, int64_t index) {
    if (!s || !s->valid || s->lLoopLength == 0) return 0.0f;
    int64_t m = index % (int64_t)s->lLoopLength;
    if (m < 0) m += s->lLoopLength;
    return *qmCell(q, s, (uint32_t)m);
}

void fillOne(QuillomatI* q, LoopChunk* c, uint32_t position, bool forward) {
    if (c->frontfill && c->lMarkL <= position && position <= c->lMarkH) {
        // Position 0 of a multiply's chunk is lStartAdj in its source, in
        // front of its start as behind it.
        *qmCell(q, c, position) = sourceSample(q, c->srcloop, (int64_t)position + c->lStartAdj);
        if (forward) c->lMarkL = position;
        else c->lMarkH = position;
        if (c->lMarkL == c->lMarkH) qmClearFront(c);
    } else if (c->backfill && c->lMarkEndL <= position && position <= c->lMarkEndH) {
        const int64_t index = (int64_t)position + c->lStartAdj - (int64_t)c->lEndAdj;
        *qmCell(q, c, position) = sourceSample(q, c->srcloop, index);
        if (forward) c->lMarkEndL = position;
        else c->lMarkEndH = position;
        if (c->lMarkEndL == c->lMarkEndH) qmClearBack(c);
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
        if ((uint64_t)loop->lLoopLength + more > q->lBufferSize) return nullptr;
        invalidateTails(q, loop->lLoopStart, loop->lLoopLength + more, loop);
        return loop;
    }

    LoopChunk* head = q->headLoopChunk;
    if (!head) return nullptr;
    const uint32_t start = (head->lLoopStart + head->lLoopLength) & q->lBufferSizeMask;
    // The new chunk takes `more` samples right after the head; it must fit in
    // the memory without covering the chunk it copies from, or that source
    // (the loop being played) would be lost.
    if (more > q->lBufferSize) return nullptr;
    if (src && src->valid && regionsOverlap(q, start, more, src->lLoopStart, src->lLoopLength))
        return nullptr;

    LoopChunk* c = head == q->lastLoopChunk ? q->pLoopChunks : head + 1;
    releaseRecord(q, c);
    resetChunk(c, start, src);
    c->lCycles = head->lCycles;
    c->lCycleLength = head->lCycleLength;
    c->lLoopLength = head->lLoopLength;
    c->dCurrPos = head->dCurrPos;
    c->prev = head;
    head->next = c;
    q->headLoopChunk = c;
    if (!q->tailLoopChunk) q->tailLoopChunk = head;
    invalidateTails(q, start, more, c);
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

void undoLoop(QuillomatI* q) {
    LoopChunk* h = q->headLoopChunk;
    if (!h) return;
    if (LoopChunk* p = h->prev)
        p->dCurrPos = qmWrap(h->dCurrPos + (double)h->lStartAdj, p->lLoopLength);
    popHeadLoop(q);
    qmCloseWrites(q);
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
    for (LoopChunk* c = loop; c && c->valid && (c->frontfill || c->backfill) && guard > 0;
         c = c->srcloop, --guard)
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
