/* Preloaded into 32-bit wine run by qemu-i386-static (7.2, user mode), where the kernel runs no
 * 32-bit code itself. It mends three ways in which the emulator differs from Linux and which
 * wine relies on:
 *  1. MAP_FIXED_NOREPLACE is taken as a hint: a mapping placed elsewhere is undone and reported
 *     as EEXIST, as Linux reports it, so that wine's address-space reservations hold.
 *  2. A file offset that is not a multiple of the page is refused with EINVAL, as Linux refuses
 *     it, instead of being mapped from the wrong place.
 *  3. The signal frame's trap number is -1, and wine tells a fault's kind by it: handlers for
 *     SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGTRAP get a trap number derived from si_code first.
 * Built with -m32; a library of the same name that does nothing is built for 64-bit processes,
 * so that one LD_PRELOAD='DIR/$LIB/...' is harmless in the native ones that inherit it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

/* Trap numbers of the x86 exceptions that wine tells apart. */
enum { TRAP_DIVIDE = 0, TRAP_DEBUG = 1, TRAP_BREAKPOINT = 3, TRAP_OVERFLOW = 4,
       TRAP_INVALID_OPCODE = 6, TRAP_PROTECTION = 13, TRAP_PAGE_FAULT = 14,
       TRAP_FLOATING_POINT = 16, TRAP_ALIGNMENT = 17 };

static void *map_pages(void *address, size_t length, int protection, int flags, int fd,
                       uint64_t offset)
{
    if (offset & 0xfff) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    /* mmap2 counts its offset in pages of 4 KiB. */
    return (void *)syscall(SYS_mmap2, address, length, protection, flags, fd,
                           (unsigned long)(offset >> 12));
}

static void *kept_in_place(void *wanted, void *got, size_t length, int flags)
{
    if ((flags & MAP_FIXED_NOREPLACE) && got != MAP_FAILED && got != wanted) {
        syscall(SYS_munmap, got, length);
        errno = EEXIST;
        return MAP_FAILED;
    }
    return got;
}

void *mmap64(void *address, size_t length, int protection, int flags, int fd, off64_t offset)
{
    return kept_in_place(address,
                         map_pages(address, length, protection, flags, fd, (uint64_t)offset),
                         length, flags);
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
    return kept_in_place(address,
                         map_pages(address, length, protection, flags, fd,
                                   (uint64_t)(uint32_t)offset),
                         length, flags);
}

/* The program's own handlers of the signals that mend_trap_number stands in front of. */
static void (*handlers[65])(int, siginfo_t *, void *);

static int is_fault(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP;
}

static void mend_trap_number(int sig, siginfo_t *info, void *context)
{
    greg_t *registers = ((ucontext_t *)context)->uc_mcontext.gregs;
    if ((int)registers[REG_TRAPNO] == -1) {
        switch (sig) {
        case SIGSEGV:
            registers[REG_TRAPNO] = info->si_code == SI_KERNEL ? TRAP_PROTECTION : TRAP_PAGE_FAULT;
            break;
        case SIGBUS: registers[REG_TRAPNO] = TRAP_ALIGNMENT; break;
        case SIGILL: registers[REG_TRAPNO] = TRAP_INVALID_OPCODE; break;
        case SIGFPE:
            registers[REG_TRAPNO] = info->si_code == FPE_INTDIV   ? TRAP_DIVIDE
                                    : info->si_code == FPE_INTOVF ? TRAP_OVERFLOW
                                                                  : TRAP_FLOATING_POINT;
            break;
        case SIGTRAP:
            registers[REG_TRAPNO] = info->si_code == TRAP_TRACE ? TRAP_DEBUG : TRAP_BREAKPOINT;
            break;
        }
    }
    handlers[sig](sig, info, context);
}

typedef int (*sigaction_function)(int, const struct sigaction *, struct sigaction *);

int sigaction(int sig, const struct sigaction *action, struct sigaction *old)
{
    static sigaction_function real;
    if (!real) real = (sigaction_function)dlsym(RTLD_NEXT, "sigaction");
    const int fault = sig > 0 && sig < 65 && is_fault(sig);
    void (*previous)(int, siginfo_t *, void *) = fault ? handlers[sig] : 0;
    int result;
    if (fault && action && (action->sa_flags & SA_SIGINFO) &&
        action->sa_sigaction != (void *)SIG_DFL && action->sa_sigaction != (void *)SIG_IGN) {
        struct sigaction mended = *action;
        handlers[sig] = action->sa_sigaction;
        mended.sa_sigaction = mend_trap_number;
        result = real(sig, &mended, old);
    } else {
        result = real(sig, action, old);
        if (fault && action) handlers[sig] = 0;
    }
    /* The caller is told of its own handler, never of the one put in front of it. */
    if (result == 0 && old && previous && (old->sa_flags & SA_SIGINFO) &&
        old->sa_sigaction == mend_trap_number) {
        old->sa_sigaction = previous;
    }
    return result;
}
