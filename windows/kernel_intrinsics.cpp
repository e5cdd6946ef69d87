// The IRQL intrinsics. KeGetCurrentIrql and KeRaiseIrql of mingw-w64's wdm.h
// read and write the task-priority register through __readcr8 and __writecr8,
// which MSVC expands in place; clang in MSVC mode declares them but expands
// neither, so the image defines them with the instruction they stand for.
extern "C" {

unsigned long long __readcr8(void) {
    unsigned long long value;
    __asm__ __volatile__("movq %%cr8, %0" : "=r"(value));
    return value;
}

void __writecr8(unsigned long long value) {
    __asm__ __volatile__("movq %0, %%cr8" : : "r"(value) : "memory");
}

} // extern "C"
