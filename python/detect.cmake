# Whether the Python package can be built here: sets CORVANE_PYTHON_FOUND. The package is built for one
# interpreter, Debian's /usr/bin/python3 unless Python3_EXECUTABLE names another: a python3 that comes
# first on PATH (pyenv, conda) cannot see Debian's Python packages.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python interpreter the package is built for")
endif()
find_package(Python3 3.9 QUIET COMPONENTS Interpreter Development.Module)
if(Python3_FOUND)
  find_package(pybind11 2.10 CONFIG QUIET)
endif()
if(Python3_FOUND AND pybind11_FOUND)
  set(CORVANE_PYTHON_FOUND ON)
else()
  set(CORVANE_PYTHON_FOUND OFF)
endif()
