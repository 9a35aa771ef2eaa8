# SuiteSparse 5.x ships no CMake package files; find the parts we link.
find_path(SUITESPARSE_INCLUDE_DIR cholmod.h PATH_SUFFIXES suitesparse REQUIRED)
foreach(part cholmod umfpack amd colamd suitesparseconfig)
  string(TOUPPER ${part} PART)
  find_library(${PART}_LIBRARY NAMES ${part} REQUIRED)
endforeach()
if(NOT TARGET SuiteSparse::CHOLMOD)
  add_library(SuiteSparse::CHOLMOD UNKNOWN IMPORTED)
  set_target_properties(SuiteSparse::CHOLMOD PROPERTIES
    IMPORTED_LOCATION "${CHOLMOD_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SUITESPARSE_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${AMD_LIBRARY};${COLAMD_LIBRARY};${SUITESPARSECONFIG_LIBRARY}")
  add_library(SuiteSparse::UMFPACK UNKNOWN IMPORTED)
  set_target_properties(SuiteSparse::UMFPACK PROPERTIES
    IMPORTED_LOCATION "${UMFPACK_LIBRARY}"
    INTERFACE_LINK_LIBRARIES SuiteSparse::CHOLMOD)
endif()
set(SuiteSparseParts_FOUND TRUE)
