# Host build for the shipped word size: 32-bit x86 Linux code (g++-multilib)
# with the code-generation flags of the win32 tree (added by the top-level
# CMakeLists.txt for SKY_X86_32), so that the encoder benchmark can set the
# shipped encoder against a 32-bit libjpeg-turbo natively, without Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The win32 tree's code is not position-independent (a Windows executable
# is relocated instead), while this host's compiler defaults to PIE, which in
# 32-bit code ties up one of the seven general registers for the GOT: build
# without it, as shipped.
set(CMAKE_C_FLAGS_INIT "-m32 -fno-pie")
set(CMAKE_CXX_FLAGS_INIT "-m32 -fno-pie")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -no-pie")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(SKY_X86_32 ON CACHE BOOL "32-bit x86 host build with the win32 tree's code generation" FORCE)
