# cmake -DNM=<nm> -DOBJECT=<the AVX2 unit's object> -P CheckAvx2Symbols.cmake
# Fails when the AVX2 unit defines shared code other than its *Avx2 entry
# points. An inline function or template instance with external linkage
# compiled there may be the copy the linker keeps for every caller, which
# would run AVX2 code on processors without it (BlockCoder.h keeps its code
# in an unnamed namespace for that reason). Shared data (such as the
# sanitizers' type descriptors) holds no instructions and is let through, as
# are the 32-bit position-independent code's pc thunks (two instructions the
# compiler emits alike in every unit). Fails too when the unit initialises
# statics with code of its own: that code runs as the program starts, on
# every processor.
execute_process(COMMAND ${NM} -C --defined-only ${OBJECT} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${OBJECT}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(foreign "")
set(startup "")
foreach(line IN LISTS lines)
  # Shared code symbols: T (PE objects list COMDAT functions so too), W, i.
  if(line MATCHES "^[0-9a-fA-F]* [TWi] " AND NOT line MATCHES "Avx2\\(" AND NOT line MATCHES " __x86\\.get_pc_thunk\\.")
    string(APPEND foreign "\n  ${line}")
  endif()
  # The unit's static initialiser, local to it (the compiler's name for it;
  # the sanitizers' module constructors are named otherwise).
  if(line MATCHES " _GLOBAL__sub_I_" OR line MATCHES "global constructors keyed to")
    string(APPEND startup "\n  ${line}")
  endif()
endforeach()
if(NOT foreign STREQUAL "")
  message(FATAL_ERROR "${OBJECT} defines shared code other than its AVX2 entry points:${foreign}")
endif()
if(NOT startup STREQUAL "")
  message(FATAL_ERROR "${OBJECT} runs code as the program starts:${startup}")
endif()
