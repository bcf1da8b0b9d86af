/* Exits 0 when this machine runs 32-bit x86 code: it calls a few 32-bit
   instructions through the 32-bit user code segment. Kernels booted without
   IA-32 emulation (and some virtual machines) fault on that call, and then
   neither 32-bit Linux programs nor 32-bit Windows programs under Wine run. */
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

struct far_pointer {
  uint32_t offset;
  uint16_t selector;
} __attribute__((packed));

struct far_pointer probe_target __attribute__((used));
uint64_t probe_saved_stack __attribute__((used));

static void on_fault(int sig) {
  (void)sig;
  _exit(1);
}

int main(void) {
#if defined(__x86_64__)
  /* mov eax, 42 ; retf */
  static const unsigned char code[] = {0xB8, 42, 0, 0, 0, 0xCB};
  unsigned char* text = mmap(0, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  unsigned char* stack = mmap(0, 65536, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (text == MAP_FAILED || stack == MAP_FAILED) return 1;
  memcpy(text, code, sizeof code);
  signal(SIGSEGV, on_fault);
  signal(SIGBUS, on_fault);
  probe_target.offset = (uint32_t)(uintptr_t)text;
  probe_target.selector = 0x23; /* the 32-bit user code segment */
  uint64_t top = (uint64_t)(uintptr_t)(stack + 65536 - 64);
  int result;
  /* 32-bit code addresses its stack through ESP, so it needs one below 4 GB. */
  __asm__ volatile(
      "mov %%rsp, probe_saved_stack(%%rip)\n\t"
      "mov %1, %%rsp\n\t"
      "lcall *probe_target(%%rip)\n\t"
      "mov probe_saved_stack(%%rip), %%rsp"
      : "=a"(result)
      : "r"(top)
      : "memory");
  return result == 42 ? 0 : 1;
#elif defined(__i386__)
  return 0;
#else
  return 1;
#endif
}
