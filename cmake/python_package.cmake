# The Python package as the build lays it out in build/python, the same tree
# that `pip install .` installs (setup.py installs the component "python"):
#   Tessaroventa/_ckernels/__init__.py                __version__
#   Tessaroventa/_ckernels/LICENSE                    this library's licence
#   Tessaroventa/_ckernels/LICENSE.numpy              NumPy's, for libnpyrandom.a inside
#   Tessaroventa/_ckernels/trova_ctypes.py            the ctypes layer, python/trova_ctypes.py
#   Tessaroventa/_ckernels/monte_carlo/__init__.py
#   Tessaroventa/_ckernels/monte_carlo/_arena.<SOABI>.so
# Tessaroventa itself has no __init__.py: it is a namespace package, whose
# own files belong to the package's Python side; this library owns
# Tessaroventa._ckernels. The __init__ files are generated here: a source
# package named Tessaroventa on the tests' path (python/) would shadow the
# built one.
set(TROVA_PKG_DIR ${TROVA_PYTHON_DIR}/Tessaroventa)
file(CONFIGURE OUTPUT ${TROVA_PKG_DIR}/_ckernels/__init__.py @ONLY CONTENT
[["""trova's kernels: the extension module monte_carlo._arena (the arena sizers) and
trova_ctypes, the ctypes layer over the same shared object."""
__version__ = "@PROJECT_VERSION@"
]])
file(CONFIGURE OUTPUT ${TROVA_PKG_DIR}/_ckernels/monte_carlo/__init__.py CONTENT
[["""The extension module _arena: the arena sizers of the pipeline steps."""
]])

# NumPy's random library is linked into the module, so its licence ships
# with it. Debian's NumPy keeps the complete notice (the random library's
# parts included) in its copyright file; other NumPy installations keep it in
# their dist-info or beside the package.
execute_process(
  COMMAND ${Python3_EXECUTABLE} -c [=[
import glob, os, numpy
here = os.path.dirname(numpy.__file__)
found = []
if here.startswith("/usr/lib/python3/"):
    found += glob.glob("/usr/share/doc/python3-numpy/copyright")
found += sorted(glob.glob(os.path.join(here + "-*.dist-info", "LICENSE*")))
found += glob.glob(os.path.join(here, "LICENSE.txt"))
print(found[0] if found else "")
]=]
  OUTPUT_VARIABLE TROVA_NUMPY_LICENSE
  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT TROVA_NUMPY_LICENSE)
  message(WARNING "NumPy's licence was not found; the Python package will lack LICENSE.numpy")
endif()

set(TROVA_PKG_COPIES
  ${PROJECT_SOURCE_DIR}/python/trova_ctypes.py ${TROVA_PKG_DIR}/_ckernels/trova_ctypes.py
  ${PROJECT_SOURCE_DIR}/LICENSE ${TROVA_PKG_DIR}/_ckernels/LICENSE)
if(TROVA_NUMPY_LICENSE)
  list(APPEND TROVA_PKG_COPIES ${TROVA_NUMPY_LICENSE} ${TROVA_PKG_DIR}/_ckernels/LICENSE.numpy)
endif()
set(TROVA_PKG_FILES ${TROVA_PKG_DIR}/_ckernels/__init__.py)
while(TROVA_PKG_COPIES)
  list(POP_FRONT TROVA_PKG_COPIES from to)
  add_custom_command(OUTPUT ${to}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${from} ${to}
    DEPENDS ${from} VERBATIM)
  list(APPEND TROVA_PKG_FILES ${to})
endwhile()
# `cmake --build <dir> --target trova_python` builds the whole tree.
add_custom_target(trova_python ALL DEPENDS ${TROVA_PKG_FILES})
add_dependencies(trova_python trova_module)

# Installed only on request (setup.py asks for it), never by a plain
# `cmake --install`, which is for C and C++ callers.
install(FILES ${TROVA_PKG_FILES} DESTINATION Tessaroventa/_ckernels COMPONENT python EXCLUDE_FROM_ALL)
install(FILES ${TROVA_PKG_DIR}/_ckernels/monte_carlo/__init__.py
  DESTINATION Tessaroventa/_ckernels/monte_carlo COMPONENT python EXCLUDE_FROM_ALL)
install(TARGETS trova_module LIBRARY DESTINATION Tessaroventa/_ckernels/monte_carlo
  COMPONENT python EXCLUDE_FROM_ALL)
