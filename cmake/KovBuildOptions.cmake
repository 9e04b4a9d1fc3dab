# Build options of this project's own targets only: a consumer's targets and GoogleTest keep
# their own flags.

if(WIN32)
  set(KOV_PLATFORM win)
else()
  set(KOV_PLATFORM posix)
endif()

# GNU-compatible compilers (g++, clang++, not clang-cl) build the engines that use their
# extensions; the x86 engines also need an x86-64 target.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT CMAKE_CXX_COMPILER_FRONTEND_VARIANT STREQUAL "MSVC")
  set(KOV_GNU_COMPATIBLE ON)
else()
  set(KOV_GNU_COMPATIBLE OFF)
endif()
if(KOV_GNU_COMPATIBLE AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(KOV_SHA256_X86 ON)
else()
  set(KOV_SHA256_X86 OFF)
endif()

option(KOV_SPLIT_DEBUG_INFO "Ship kov-updater stripped, its DWARF in a .debug file beside it" ON)

# Drops the SHA-256 engine sources that this compiler or architecture cannot build.
function(kov_sha256_engine_sources var)
  set(sources ${${var}})
  if(NOT KOV_GNU_COMPATIBLE)
    list(FILTER sources EXCLUDE REGEX "/sha256_vector\\.cpp$")
  endif()
  if(NOT KOV_SHA256_X86)
    list(FILTER sources EXCLUDE REGEX "/sha256_x86\\.cpp$")
  endif()
  set(${var} ${sources} PARENT_SCOPE)
endfunction()

function(kov_sha256_engine_definitions target)
  target_compile_definitions(${target} PRIVATE KOV_SHA256_VECTOR_ENGINE=$<BOOL:${KOV_GNU_COMPATIBLE}>
                                               KOV_SHA256_X86_ENGINES=$<BOOL:${KOV_SHA256_X86}>)
endfunction()

# Warnings, sanitizers, Windows settings and reproducible paths for one of our targets.
function(kov_own_target target)
  target_compile_options(
    ${target}
    PRIVATE "$<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-Wall;-Wextra;-Wpedantic;-Wconversion>"
            "$<$<COMPILE_LANG_AND_ID:CXX,MSVC>:/W4;/permissive-;/utf-8>"
            # No folder of the build machine in the binaries, not even the compiler's working
            # folder: two builds from different folders are identical. The build folder's map
            # comes last, so it wins where the build lies inside the sources.
            "$<$<COMPILE_LANG_AND_ID:CXX,GNU,Clang>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.;-ffile-prefix-map=${PROJECT_BINARY_DIR}=.>"
  )
  if(KOV_SANITIZE)
    target_compile_options(
      ${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(WIN32)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                 _WIN32_WINNT=0x0A00)
  endif()
  if(MINGW)
    # Every program runs with no DLL beside it; no link time stamp; ASLR above 4 GiB and DEP.
    target_link_options(
      ${target} PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp
      -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
  endif()
endfunction()

# After each link, the DWARF moves to <program>.debug and the program keeps a debug link to it.
# objcopy stamps a PE file with the time unless SOURCE_DATE_EPOCH says otherwise; 0 is what the
# linker writes with --no-insert-timestamp.
function(kov_split_debug_info target)
  if(NOT KOV_SPLIT_DEBUG_INFO OR NOT CMAKE_OBJCOPY OR NOT CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
    return()
  endif()
  add_custom_command(
    TARGET ${target}
    POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}>
            $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
  set_property(TARGET ${target} PROPERTY KOV_DEBUG_FILE $<TARGET_FILE:${target}>.debug)
endfunction()
