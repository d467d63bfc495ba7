# One place for the language level, warnings and Qt defines of every target.
add_library(dremlix_common INTERFACE)
target_compile_features(dremlix_common INTERFACE cxx_std_20)
target_compile_options(dremlix_common INTERFACE
  -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
target_compile_definitions(dremlix_common INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_URL_CAST_FROM_STRING
  QT_USE_QSTRINGBUILDER
  QT_NO_FOREACH
  DREMLIX_VERSION="${PROJECT_VERSION}")

# dremlix_add_library(<name> <Qt components...>): one static library per folder,
# made of every source in it, so that a folder grows without touching the build.
function(dremlix_add_library name)
  file(GLOB _sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  set(_cpp ${_sources})
  list(FILTER _cpp INCLUDE REGEX "\\.cpp$")
  if(NOT _cpp)
    # A folder that has only its headers so far still gives a library to link.
    set(_empty ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${_empty} "")
    list(APPEND _sources ${_empty})
  endif()
  add_library(${name} STATIC ${_sources})
  # Includes name their folder ("oslayer/Registry.h"), so that units of different
  # folders never shadow each other.
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC dremlix_common)
endfunction()
