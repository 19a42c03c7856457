/*
 * Force-included (-include) first in every kernel translation unit of the Windows build, so the
 * kernel sources stay the same for both builds. Everything mingw-w64's headers need before they can
 * be used for kernel code is here, and only here.
 */
#ifndef VAVEDU_WINDOWS_H
#define VAVEDU_WINDOWS_H

/*
 * In C++, wdm.h declares InterlockedBitTestAndSet/Reset a second time after the compiler-intrinsic
 * headers have already defined them; these markers tell it they exist.
 */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

/*
 * In C++11 and later mingw's <stdio.h> routes sprintf to its own formatter (__mingw_vsprintf, a
 * user-mode library routine) unless told not to. Kernel code must call the sprintf ntoskrnl.exe
 * exports, so the plain declarations are wanted. (The C++ library's headers would force the
 * formatter back on; the build keeps them out with -nostdinc++.)
 */
#define __USE_MINGW_ANSI_STDIO 0

#endif
