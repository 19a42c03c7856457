# The sources of the Windows build, read by windows/CMakeLists.txt (which builds them) and by
# tests/windows/CMakeLists.txt in the host build (which checks what they produce), so both agree
# on which images exist.
#
# VAVEDU_ROOT must be the repository root.

# The support library stand-in, built as ZaDar.EDI.
file(GLOB VAVEDU_WINDOWS_SUPPORT_SOURCES CONFIGURE_DEPENDS ${VAVEDU_ROOT}/pcdriver/support/*.cpp)

# The driver, built as VaVedu.SYS once it has sources; until then only the probe driver is built.
file(GLOB_RECURSE VAVEDU_WINDOWS_DRIVER_SOURCES CONFIGURE_DEPENDS
     ${VAVEDU_ROOT}/pcdriver/bulk/*.cpp)

# The instrument emulator, VaVeduEmu.SYS: the bus driver and the instrument's own code (the same
# source the model's device runs). Windows only: on Linux the model's USB bus hosts the instrument.
file(GLOB VAVEDU_WINDOWS_EMULATOR_SOURCES CONFIGURE_DEPENDS ${VAVEDU_ROOT}/pcdriver/emulator/*.cpp)
list(APPEND VAVEDU_WINDOWS_EMULATOR_SOURCES ${VAVEDU_ROOT}/pcdriver/instrument/instrument.cpp)

# Headers applications include: each must compile in a plain Win32 C program and a C++ one (after
# <windows.h> and <winioctl.h>). The driver's application-facing header joins this list.
set(VAVEDU_WINDOWS_APP_HEADERS ${VAVEDU_ROOT}/windows/probe/probe_interface.h
                                ${VAVEDU_ROOT}/pcdriver/bulk/vavedu_ioctl.h
                                ${VAVEDU_ROOT}/pcdriver/emulator/vaveduemu_ioctl.h)

# The definition file of the support library: its exports, and the import library drivers link.
set(VAVEDU_WINDOWS_SUPPORT_DEF ${VAVEDU_ROOT}/windows/ZaDar.def)

# What each module may be imported for, as check_pe.py --allow arguments. The host build's lists
# are the authority for which platform routines kernel code may call, on both builds.
set(VAVEDU_WINDOWS_ALLOW_KERNEL
    "ntoskrnl.exe=${VAVEDU_ROOT}/sim/imports/kernel.txt,${VAVEDU_ROOT}/sim/imports/crt.txt,${VAVEDU_ROOT}/windows/imports/ntoskrnl.exe.txt")
set(VAVEDU_WINDOWS_ALLOW_USBD "USBD.SYS=${VAVEDU_ROOT}/sim/imports/usbd.txt")
set(VAVEDU_WINDOWS_ALLOW_SUPPORT "ZaDar.EDI=${VAVEDU_WINDOWS_SUPPORT_DEF}")
# The emulator is a bus driver: it may also import what a bus driver and its host controller
# thread need (windows/imports/VaVeduEmu.SYS.txt), and nothing of USBD.SYS or the support library.
set(VAVEDU_WINDOWS_ALLOW_EMULATOR
    "ntoskrnl.exe=${VAVEDU_ROOT}/sim/imports/kernel.txt,${VAVEDU_ROOT}/sim/imports/crt.txt,${VAVEDU_ROOT}/windows/imports/ntoskrnl.exe.txt,${VAVEDU_ROOT}/windows/imports/VaVeduEmu.SYS.txt")

# vavedu.exe: the client library on the Win32 calls and the tool without its model-only parts
# (tools/vavedu/machine.hpp): no demo.cpp and session_model.cpp, session_win32.cpp instead.
set(VAVEDU_WINDOWS_TOOL_SOURCES
    ${VAVEDU_ROOT}/client/client.cpp ${VAVEDU_ROOT}/client/descriptors.cpp
    ${VAVEDU_ROOT}/client/status.cpp ${VAVEDU_ROOT}/client/platform_win32.cpp)
foreach(source bench cli commands describe json main plot progress report session_win32 text
               tool)
  list(APPEND VAVEDU_WINDOWS_TOOL_SOURCES ${VAVEDU_ROOT}/tools/vavedu/${source}.cpp)
endforeach()
# What vavedu.exe may import: Windows system DLLs only, so it runs without the compiler's DLLs.
set(VAVEDU_WINDOWS_TOOL_IMPORTS ${VAVEDU_ROOT}/windows/imports/vavedu.exe.txt)
# vaveduemu.exe, the emulator's installer and control program, likewise (it also installs drivers).
set(VAVEDU_WINDOWS_EMULATOR_TOOL_SOURCES ${VAVEDU_ROOT}/windows/emulator/vaveduemu.cpp)
set(VAVEDU_WINDOWS_EMULATOR_TOOL_IMPORTS ${VAVEDU_ROOT}/windows/imports/vaveduemu.exe.txt)
