# Warnings and platform settings shared by every target of the project.

option(TARNWICK_WERROR "Treat the project's own warnings as errors (on in CI builds)" OFF)

if(MSVC)
  # Sources are UTF-8 (the Russian texts of the program) and must stay so.
  add_compile_options(/utf-8 /permissive-)
  add_compile_definitions(_CRT_SECURE_NO_WARNINGS)
endif()

# The project's own targets link this for their warnings; libraries built
# from elsewhere (GoogleTest) keep their own.
add_library(tarnwick_warnings INTERFACE)
if(MSVC)
  target_compile_options(tarnwick_warnings INTERFACE /W4 $<$<BOOL:${TARNWICK_WERROR}>:/WX>)
else()
  target_compile_options(tarnwick_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                         -Wno-sign-conversion $<$<BOOL:${TARNWICK_WERROR}>:-Werror>)
endif()

if(WIN32)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

if(MINGW)
  # One self-contained executable: no MinGW runtime DLLs beside it.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

if(TARNWICK_SANITIZE)
  if(MSVC)
    # MSVC has AddressSanitizer only, and no undefined-behaviour checks.
    add_compile_options(/fsanitize=address)
  else()
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

if(TARNWICK_FUZZ)
  # Every library is instrumented for coverage; the fuzz targets add the driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Gives every library and program defined under the project's own folders
# the warnings above; called once all of them exist. Code from elsewhere
# (GoogleTest's sources) keeps its own.
function(tarnwick_apply_warnings dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
      target_link_libraries(${target} PRIVATE tarnwick_warnings)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    string(FIND "${sub}" "${PROJECT_SOURCE_DIR}/" inside)
    if(inside EQUAL 0)
      tarnwick_apply_warnings(${sub})
    endif()
  endforeach()
endfunction()
