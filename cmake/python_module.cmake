# The extension module tarnwick._native, built against the limited API of CPython 3.12 so one
# binary serves 3.12 and later. It lands in <build>/python/tarnwick beside the package's Python
# files, so PYTHONPATH=<build>/python imports it straight from the build tree.
find_package(Python3 3.12 REQUIRED COMPONENTS Interpreter Development.Module)

# The binding's code is a static library of its own, so that the test-only extension
# (tests/binding) can link the same code; module.cpp holds the module's definition and its init
# export and goes into tarnwick._native alone.
file(GLOB TARNWICK_BINDING_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/binding/*.cpp)
list(REMOVE_ITEM TARNWICK_BINDING_SOURCES ${PROJECT_SOURCE_DIR}/src/binding/module.cpp)
add_library(tarnwick_binding STATIC ${TARNWICK_BINDING_SOURCES})
target_link_libraries(tarnwick_binding PUBLIC tarnwick_core Python3::Module)
target_compile_definitions(tarnwick_binding PUBLIC Py_LIMITED_API=0x030C0000)
set_target_properties(tarnwick_binding PROPERTIES CXX_VISIBILITY_PRESET hidden
                                                  VISIBILITY_INLINES_HIDDEN ON)

# tarnwick_python_extension(target name dir): `target` becomes the extension module `name`
# (<name>.abi3.so in `dir`) whose only exported symbol is PyInit_<name>: the version script hides
# everything else linked into it, the core library and the C++ runtime's inline code included, so
# that nothing clashes with other extensions in the same process.
function(tarnwick_python_extension target name dir)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  file(CONFIGURE OUTPUT ${map} CONTENT "{\n  global: PyInit_${name};\n  local: *;\n};\n")
  target_link_libraries(${target} PRIVATE tarnwick_binding)
  target_link_options(${target} PRIVATE -Wl,--version-script=${map} -Wl,--exclude-libs,ALL)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name}
    PREFIX ""
    SUFFIX ".abi3.so"
    LIBRARY_OUTPUT_DIRECTORY ${dir}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

set(TARNWICK_PACKAGE_DIR ${CMAKE_BINARY_DIR}/python/tarnwick)
add_library(tarnwick_native MODULE ${PROJECT_SOURCE_DIR}/src/binding/module.cpp)
target_compile_definitions(tarnwick_native PRIVATE TARNWICK_VERSION="${PROJECT_VERSION}")
tarnwick_python_extension(tarnwick_native _native ${TARNWICK_PACKAGE_DIR})

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

# tarnwick_testhooks_module(): the test-only extension _tarnwick_testhooks, beside the package in
# the build tree (so the Python suite and the fuzz targets import it from the same path), never
# installed. The test build and the fuzz build each make it, from the same sources.
function(tarnwick_testhooks_module)
  add_library(tarnwick_testhooks MODULE ${PROJECT_SOURCE_DIR}/tests/binding/testhooks.cpp
                                        ${PROJECT_SOURCE_DIR}/tests/binding/non_utf8_type.c)
  tarnwick_python_extension(tarnwick_testhooks _tarnwick_testhooks ${CMAKE_BINARY_DIR}/python)
  add_dependencies(tarnwick_testhooks tarnwick_native)
endfunction()
