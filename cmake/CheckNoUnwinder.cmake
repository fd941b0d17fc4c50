# cmake -DNM=<nm> -DDLL=<file> -P CheckNoUnwinder.cmake
# Fails when the DLL contains libgcc's frame registration: see
# common/DllHeapOperators.cpp for why a DLL that is loaded and freed over and
# over must not.
execute_process(COMMAND ${NM} ${DLL} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${DLL}")
endif()
if(symbols MATCHES " [Tt] _+register_frame_info")
  message(FATAL_ERROR "${DLL} links the exception runtime (frame registration): "
                      "something in it throws, uses RTTI or the library's own operator new")
endif()
