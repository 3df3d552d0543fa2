# The coroutine switch for x86-64 under the System V calling convention.
#
# Each switching routine pushes the callee-saved registers (rbx, rbp, r12 to
# r15; System V has no callee-saved vector registers) in its own frame and
# records a resume point: a stack pointer and a code address. The context
# record thus holds two stack pointers and two code addresses only. The
# host's registers stay in the frame of coro_resume, which remains in place
# on the host's stack; the body's are in the frame of coro_yield, which lies
# inside the region that a yield copies away and a resume copies back.
#
# The copies use rep movsb, which needs no stack: the region being saved or
# written back is never touched by the copy itself.
#
# Offsets into the coroutine object: four 32-byte streams, then the context.
        .set CO,            128
        .set STATUS,        CO + 0
        .set RESUMER_PC,    CO + 8
        .set RESUMER_SP,    CO + 16
        .set CORO_PC,       CO + 24
        .set CORO_SP,       CO + 32
        .set STACK_BASE,    CO + 40
        .set STACK_LOW,     CO + 48
        .set SAVE_AREA,     CO + 72
        .set SAVE_SIZE,     16408
        .set GAP,           65536
        .set PAGE,          4096

        .text

# uint32_t coro_resume(coro_object* obj)
        .globl  coro_resume
        .type   coro_resume, @function
        .p2align 4
coro_resume:
        pushq   %rbp
        pushq   %rbx
        pushq   %r12
        pushq   %r13
        pushq   %r14
        pushq   %r15
        subq    $8, %rsp                # keep the stack 16-byte aligned at calls
        movq    %rdi, %rbx              # the object, kept across coro_start
        # Record the resume point on every call, so the body always returns
        # to the current resume call.
        movq    %rsp, RESUMER_SP(%rdi)
        leaq    .Lresumed(%rip), %rax
        movq    %rax, RESUMER_PC(%rdi)
        movl    STATUS(%rdi), %eax
        testl   %eax, %eax
        jnz     .Lcontinue
        call    coro_start
        # Only a body that returned without ever yielding gets here.
        movl    STATUS(%rbx), %eax
        jmp     .Lresumed
.Lcontinue:
        call    coro_before_continue    # rdi: the object; see coro.cpp
        movq    %rbx, %rdi
        # Write the body's region back to the addresses it came from. This
        # frame lies above stack_base by the gap, so the copy cannot reach it.
        movq    STACK_LOW(%rdi), %r8
        movq    STACK_BASE(%rdi), %rcx
        subq    %r8, %rcx
        leaq    SAVE_AREA(%rdi), %rsi
        movq    %r8, %rdi
        rep movsb
        movq    CORO_SP(%rbx), %rsp
        jmp     *CORO_PC(%rbx)
.Lresumed:
        # Entered by coro_yield with the yield code in eax.
        addq    $8, %rsp
        popq    %r15
        popq    %r14
        popq    %r13
        popq    %r12
        popq    %rbx
        popq    %rbp
        ret
        .size   coro_resume, .-coro_resume

# void coro_start(coro_object* obj), called by coro_resume only.
#
# Lowers the stack by a gap that is never used, so that a later resume call
# and its copy run above the body's region while they write it back. The gap
# is probed a page at a time from the top down, so the stack grows in order
# through the guard page.
        .type   coro_start, @function
        .p2align 4
coro_start:
        pushq   %rbp
        movq    %rsp, %rbp
        movl    $GAP / PAGE, %ecx
.Lprobe:
        subq    $PAGE, %rsp
        orq     $0, (%rsp)
        decl    %ecx
        jnz     .Lprobe
        movq    %rsp, STACK_BASE(%rdi)
        call    coro_invoke_body
        movq    %rbp, %rsp
        popq    %rbp
        ret
        .size   coro_start, .-coro_start

# void coro_yield(coro_object* obj, uint32_t code)
        .globl  coro_yield
        .type   coro_yield, @function
        .p2align 4
coro_yield:
        pushq   %rbp
        pushq   %rbx
        pushq   %r12
        pushq   %r13
        pushq   %r14
        pushq   %r15
        subq    $8, %rsp
        # The live region runs from here up to stack_base: this frame's saved
        # registers, its return address, the body's frames and argument area.
        movq    STACK_BASE(%rdi), %rcx
        subq    %rsp, %rcx
        cmpq    $SAVE_SIZE, %rcx
        ja      .Loverrun
        movq    %rsp, STACK_LOW(%rdi)
        movq    %rsp, CORO_SP(%rdi)
        leaq    .Lcontinued(%rip), %rax
        movq    %rax, CORO_PC(%rdi)
        movl    %esi, STATUS(%rdi)
        movq    %rdi, %rdx
        movq    %rsp, %rsi
        leaq    SAVE_AREA(%rdx), %rdi
        rep movsb
        movl    STATUS(%rdx), %eax
        movq    RESUMER_SP(%rdx), %rsp
        jmp     *RESUMER_PC(%rdx)
.Lcontinued:
        # Entered by coro_resume after it wrote the region back.
        addq    $8, %rsp
        popq    %r15
        popq    %r14
        popq    %r13
        popq    %r12
        popq    %rbx
        popq    %rbp
        ret
.Loverrun:
        movq    %rcx, %rsi
        call    coro_overrun            # does not return
        ud2
        .size   coro_yield, .-coro_yield

        .section .note.GNU-stack,"",@progbits
