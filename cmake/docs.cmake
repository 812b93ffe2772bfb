# `cmake --build build --target docs` writes the HTML API reference of the
# public headers to build/docs/html. Doxygen fails on any undocumented public
# name, so the same run is the check that the reference is complete.
find_program(TROVA_DOXYGEN doxygen)
set(TROVA_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${TROVA_DOCS_DIR}/Doxyfile @ONLY)
if(TROVA_DOXYGEN)
  add_custom_target(docs
    COMMAND ${TROVA_DOXYGEN} ${TROVA_DOCS_DIR}/Doxyfile
    WORKING_DIRECTORY ${TROVA_DOCS_DIR}
    COMMENT "API reference: ${TROVA_DOCS_DIR}/html/index.html"
    VERBATIM)
endif()
