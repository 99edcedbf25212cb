# Hardening of every executable and library the project builds, on by default: a scanner reads
# hostile files, so a memory fault in it should end the process rather than hand it over.
#
#   -fstack-protector-strong      canaries in every function with a local array or address taken
#   -fstack-clash-protection      a large stack allocation cannot jump over the guard page
#   -fcf-protection               indirect-branch and return checks (x86 CET), where supported
#   -D_FORTIFY_SOURCE=2           bounds-checked string and memory calls where sizes are known;
#                                 optimised builds only (glibc warns, and so fails with -Werror,
#                                 without optimisation), and not with the sanitizers (NERLO_SANITIZE
#                                 or -fsanitize in CXXFLAGS, as the fuzz build has): the checked
#                                 variants bypass their interceptors, whose checks are the finer
#   -fPIE / -pie                  position-independent executables (full address randomisation)
#   -Wl,-z,relro -Wl,-z,now       relocations resolved at start, then made read-only
#
# NERLO_HARDEN=OFF builds without any of them (to measure what they cost).

option(NERLO_HARDEN "Build with the hardening flags (stack protector, fortify, PIE, RELRO)" ON)

if(NERLO_HARDEN)
  include(CheckCXXCompilerFlag)
  include(CheckPIESupported)

  add_compile_options(-fstack-protector-strong)
  check_cxx_compiler_flag(-fstack-clash-protection NERLO_HAS_STACK_CLASH_PROTECTION)
  if(NERLO_HAS_STACK_CLASH_PROTECTION)
    add_compile_options(-fstack-clash-protection)
  endif()
  check_cxx_compiler_flag(-fcf-protection NERLO_HAS_CF_PROTECTION)
  if(NERLO_HAS_CF_PROTECTION)
    add_compile_options(-fcf-protection)
  endif()

  # A level the user chose in CXXFLAGS (dpkg-buildflags, for one) is kept: a second definition
  # would be a redefinition warning, an error under -Werror.
  if(NOT NERLO_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE|-fsanitize=")
    add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  endif()

  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)

  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
