# Runs a program under the emulated USB bus: the exit status must be 0 and
# the output must match EXPECT. PRELOAD and EMULATE go to its environment.
set(ENV{LD_PRELOAD} "${PRELOAD}")
set(ENV{KALVEX_USB_EMULATE} "${EMULATE}")
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${PROGRAM} ${args} WORKING_DIRECTORY ${WORKDIR}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "exit status ${rc}")
endif()
if(NOT "${out}" MATCHES "${EXPECT}")
  message(FATAL_ERROR "output does not match: ${EXPECT}")
endif()
