#include "keyinit/token_call.h"

#if !defined(__i386__)
#error "the token library is a 32-bit x86 library"
#endif

// CallTokenEntryPoint(entry, args, count), __cdecl:
//   pushes args[count-1] ... args[0], calls entry, then resets the stack
//   pointer from the frame pointer, so that it is the same whether the callee
//   popped its arguments or not. EBX, ESI, EDI and EBP are preserved by the
//   callee under both conventions; ESI is saved here as it is used here.
asm(R"(
    .text
    .p2align 4
    .globl _CallTokenEntryPoint
    .def _CallTokenEntryPoint; .scl 2; .type 32; .endef
_CallTokenEntryPoint:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    movl 16(%ebp), %ecx
    movl 12(%ebp), %esi
1:
    testl %ecx, %ecx
    jz 2f
    pushl -4(%esi,%ecx,4)
    decl %ecx
    jmp 1b
2:
    call *8(%ebp)
    leal -4(%ebp), %esp
    popl %esi
    popl %ebp
    ret
)");
