# The libraries of a Windows cross build, in the targets the native build
# gets from find_package: the header-only libraries are Debian's headers
# (linked into .deps/win64/include by scripts/build-windows.sh, never the
# whole of /usr/include), the compiled parts of stb, tinyexr and
# tinyobjloader are built here from the same headers, and zlib, libpng and
# libjpeg are the static libraries the script builds into .deps/win64.
# The viewer's meshoptimizer is compiled here from Debian's source package,
# which the script unpacks and links to .deps/win64/meshoptimizer.
set(WIN64_DEPS ${CMAKE_SOURCE_DIR}/.deps/win64 CACHE PATH
    "Headers and static libraries for the Windows build")
set(WIN64_INCLUDE ${WIN64_DEPS}/include)

function(win64_static_library name file)
  if(NOT EXISTS ${WIN64_DEPS}/lib/${file})
    message(FATAL_ERROR "${WIN64_DEPS}/lib/${file} not found: run scripts/build-windows.sh")
  endif()
  add_library(${name} STATIC IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION ${WIN64_DEPS}/lib/${file}
                        INTERFACE_INCLUDE_DIRECTORIES ${WIN64_INCLUDE})
endfunction()
foreach(header nlohmann/json.hpp stb_image.h stb_image_write.h tinyexr.h tiny_obj_loader.h
               mapbox/earcut.hpp)
  if(NOT EXISTS ${WIN64_INCLUDE}/${header})
    message(FATAL_ERROR "${WIN64_INCLUDE}/${header} not found: run scripts/build-windows.sh")
  endif()
endforeach()

win64_static_library(ZLIB::ZLIB libz.a)
win64_static_library(PNG::PNG libpng16.a)
set_target_properties(PNG::PNG PROPERTIES INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
win64_static_library(JPEG::JPEG libjpeg.a)

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                      INTERFACE_INCLUDE_DIRECTORIES ${WIN64_INCLUDE})

# The implementations Debian compiles into its shared libraries.
add_library(win64_stb STATIC ${CMAKE_SOURCE_DIR}/cmake/win64/stb.c)
target_include_directories(win64_stb SYSTEM PUBLIC ${WIN64_INCLUDE})
add_library(PkgConfig::STB ALIAS win64_stb)

add_library(win64_tinyexr STATIC ${CMAKE_SOURCE_DIR}/cmake/win64/tinyexr.cpp)
target_include_directories(win64_tinyexr SYSTEM PUBLIC ${WIN64_INCLUDE})
target_link_libraries(win64_tinyexr PRIVATE ZLIB::ZLIB)
add_library(tinyexr::tinyexr ALIAS win64_tinyexr)

add_library(win64_tinyobjloader STATIC ${CMAKE_SOURCE_DIR}/cmake/win64/tinyobjloader.cpp)
target_include_directories(win64_tinyobjloader SYSTEM PUBLIC ${WIN64_INCLUDE})
add_library(tinyobjloader::tinyobjloader ALIAS win64_tinyobjloader)

add_library(win64_tinygltf STATIC ${CMAKE_SOURCE_DIR}/cmake/win64/tinygltf.cpp)
target_include_directories(win64_tinygltf SYSTEM PUBLIC ${WIN64_INCLUDE})
target_link_libraries(win64_tinygltf PRIVATE win64_stb)
add_library(TinyGLTF::TinyGLTF ALIAS win64_tinygltf)

set(EARCUT_INCLUDE_DIR ${WIN64_INCLUDE} CACHE PATH "The folder holding mapbox/earcut.hpp")

# meshoptimizer::meshoptimizer, as its own CMake package names it; only the
# viewer links it.
if(BLOCKGEN_GUI)
  set(WIN64_MESHOPTIMIZER ${WIN64_DEPS}/meshoptimizer CACHE PATH
      "Debian's meshoptimizer source for the Windows viewer")
  if(NOT EXISTS ${WIN64_MESHOPTIMIZER}/src/meshoptimizer.h)
    message(FATAL_ERROR "${WIN64_MESHOPTIMIZER}/src/meshoptimizer.h not found: "
                        "run scripts/build-windows.sh --gui")
  endif()
  file(GLOB win64_meshoptimizer_sources ${WIN64_MESHOPTIMIZER}/src/*.cpp)
  add_library(win64_meshoptimizer STATIC ${win64_meshoptimizer_sources})
  target_include_directories(win64_meshoptimizer SYSTEM PUBLIC ${WIN64_MESHOPTIMIZER}/src)
  add_library(meshoptimizer::meshoptimizer ALIAS win64_meshoptimizer)
endif()
