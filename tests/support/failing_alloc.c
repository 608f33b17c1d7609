// Allocations that fail now and then, preloaded into a program under test.
// QM_FAILING_ALLOC names a file of two ints, mapped shared: while the first is
// not 0, about one allocation in QM_FAILING_ALLOC_EVERY (default 8) of every
// thread but the main one returns null, and the second counts them. Another
// process arms and reads it with plain writes and reads of the file; no
// signal interrupts the program's own waits. Aligned allocations are left
// alone: the host and its plug-in ask for none.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

static int* g_control;  // armed, failed
static unsigned g_every = 8;

__attribute__((constructor)) static void map_control(void)
{
    const char* path = getenv("QM_FAILING_ALLOC");
    const char* every = getenv("QM_FAILING_ALLOC_EVERY");
    if (every && atoi(every) > 0) g_every = (unsigned)atoi(every);
    const int fd = path ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0) return;
    void* p = mmap(NULL, 2 * sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED) g_control = p;
}

// Initial-exec: the TLS of a preloaded library is static, and reading it
// then never allocates (which would come back here).
#define TLS __thread __attribute__((tls_model("initial-exec")))

static int fails(void)
{
    static TLS int is_main = -1;
    static TLS unsigned draw;
    if (!g_control || !__atomic_load_n(&g_control[0], __ATOMIC_RELAXED)) return 0;
    if (is_main < 0) {
        is_main = gettid() == getpid();
        draw = (unsigned)gettid();
    }
    draw = draw * 1103515245u + 12345u;  // varies which call of a repeated pattern fails
    if (is_main || (draw >> 16) % g_every) return 0;
    __atomic_add_fetch(&g_control[1], 1, __ATOMIC_RELAXED);
    errno = ENOMEM;
    return 1;
}

void* malloc(size_t size) { return fails() ? NULL : __libc_malloc(size); }
void* calloc(size_t n, size_t size) { return fails() ? NULL : __libc_calloc(n, size); }
void* realloc(void* p, size_t size) { return size && fails() ? NULL : __libc_realloc(p, size); }
