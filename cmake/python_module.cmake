# The extension module tarnwick._native, built against the limited API of CPython 3.12 so one
# binary serves 3.12 and later. It lands in <build>/python/tarnwick beside the package's Python
# files, so PYTHONPATH=<build>/python imports it straight from the build tree.
find_package(Python3 3.12 REQUIRED COMPONENTS Interpreter Development.Module)

file(GLOB TARNWICK_BINDING_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/binding/*.cpp)
add_library(tarnwick_native MODULE ${TARNWICK_BINDING_SOURCES})
target_link_libraries(tarnwick_native PRIVATE tarnwick_core Python3::Module)
target_compile_definitions(tarnwick_native PRIVATE Py_LIMITED_API=0x030C0000
                                                   TARNWICK_VERSION="${PROJECT_VERSION}")
set(TARNWICK_PACKAGE_DIR ${CMAKE_BINARY_DIR}/python/tarnwick)
set_target_properties(tarnwick_native PROPERTIES
  OUTPUT_NAME _native
  PREFIX ""
  SUFFIX ".abi3.so"
  LIBRARY_OUTPUT_DIRECTORY ${TARNWICK_PACKAGE_DIR}
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

# Copy the pure-Python part of the package next to the module.
file(GLOB TARNWICK_PY_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/tarnwick/*)
set(TARNWICK_PY_OUTPUTS)
foreach(src ${TARNWICK_PY_FILES})
  get_filename_component(name ${src} NAME)
  add_custom_command(OUTPUT ${TARNWICK_PACKAGE_DIR}/${name}
                     COMMAND ${CMAKE_COMMAND} -E copy_if_different ${src} ${TARNWICK_PACKAGE_DIR}/${name}
                     DEPENDS ${src})
  list(APPEND TARNWICK_PY_OUTPUTS ${TARNWICK_PACKAGE_DIR}/${name})
endforeach()
add_custom_target(tarnwick_python_files ALL DEPENDS ${TARNWICK_PY_OUTPUTS})
add_dependencies(tarnwick_native tarnwick_python_files)

# cmake --install puts the package into the chosen interpreter's site-packages.
execute_process(COMMAND ${Python3_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_path('platlib'))"
                OUTPUT_VARIABLE TARNWICK_SITE_PACKAGES OUTPUT_STRIP_TRAILING_WHITESPACE)
install(TARGETS tarnwick_native LIBRARY DESTINATION ${TARNWICK_SITE_PACKAGES}/tarnwick)
install(FILES ${TARNWICK_PY_FILES} DESTINATION ${TARNWICK_SITE_PACKAGES}/tarnwick)
