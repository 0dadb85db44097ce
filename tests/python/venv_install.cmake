# pip install ./python into a fresh virtual environment (NumPy from the system's
# packages, nothing from the network), then import the installed package.
# Arguments: PYTHON, SOURCE (python/), WORK (scratch folder), LIBRARY.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
# Build from a copy: pip builds in the source folder and leaves files there.
file(COPY ${SOURCE}/ DESTINATION ${WORK}/source
  PATTERN __pycache__ EXCLUDE PATTERN tests EXCLUDE PATTERN "*.egg-info" EXCLUDE
  PATTERN build EXCLUDE)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE result
    OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${PYTHON} -m venv --system-site-packages ${WORK}/venv)
run(${WORK}/venv/bin/python -m pip install --no-build-isolation --no-index
  --disable-pip-version-check --no-cache-dir ${WORK}/source)
file(WRITE ${WORK}/check.py [=[
import os
import importlib.resources
import kalvex
assert importlib.resources.files("kalvex").joinpath("py.typed").is_file()
print(kalvex.version(), os.path.dirname(kalvex.__file__))
]=])
run(${CMAKE_COMMAND} -E env KALVEX_LIBRARY=${LIBRARY} ${WORK}/venv/bin/python ${WORK}/check.py)
string(FIND "${last_output}" "${WORK}/venv/" installed)
if(NOT last_output MATCHES "^2032717 " OR installed EQUAL -1)
  message(FATAL_ERROR "the installed package did not answer as expected: ${last_output}")
endif()
message(STATUS "installed and imported: ${last_output}")
