# Finds single-precision FFTW where it is used, for the build and for programs
# that link the installed library: FFTW3F::fftw3f and FFTW3F::fftw3f_threads
# (the threads target brings the plain one along). Search hints are the usual
# CMAKE_PREFIX_PATH / FFTW3F_ROOT; nothing of the machine that built the
# library is recorded in its package.
include(FindPackageHandleStandardArgs)
find_path(FFTW3_INCLUDE_DIR fftw3.h)
find_library(FFTW3F_LIBRARY fftw3f)
find_library(FFTW3F_THREADS_LIBRARY fftw3f_threads)
set(_fftw3f_required FFTW3_INCLUDE_DIR FFTW3F_LIBRARY)
if("threads" IN_LIST FFTW3F_FIND_COMPONENTS)
    list(APPEND _fftw3f_required FFTW3F_THREADS_LIBRARY)
    set(FFTW3F_threads_FOUND ${FFTW3F_THREADS_LIBRARY})
endif()
find_package_handle_standard_args(FFTW3F REQUIRED_VARS ${_fftw3f_required} HANDLE_COMPONENTS)
unset(_fftw3f_required)

if(FFTW3F_FOUND AND NOT TARGET FFTW3F::fftw3f)
    add_library(FFTW3F::fftw3f UNKNOWN IMPORTED)
    set_target_properties(FFTW3F::fftw3f PROPERTIES IMPORTED_LOCATION "${FFTW3F_LIBRARY}"
                          INTERFACE_INCLUDE_DIRECTORIES "${FFTW3_INCLUDE_DIR}")
endif()
if(FFTW3F_FOUND AND FFTW3F_THREADS_LIBRARY AND NOT TARGET FFTW3F::fftw3f_threads)
    add_library(FFTW3F::fftw3f_threads UNKNOWN IMPORTED)
    set_target_properties(FFTW3F::fftw3f_threads PROPERTIES IMPORTED_LOCATION "${FFTW3F_THREADS_LIBRARY}"
                          INTERFACE_LINK_LIBRARIES FFTW3F::fftw3f)
endif()
mark_as_advanced(FFTW3_INCLUDE_DIR FFTW3F_LIBRARY FFTW3F_THREADS_LIBRARY)
