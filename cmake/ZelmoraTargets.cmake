# Shared compiler settings for every target of the project.

if(ZELMORA_SANITIZE)
    # GCC's undefined-behaviour sanitizer leaves out the conversion of an
    # out-of-range or non-finite double to an integer; check it as well.
    set(_zelmora_sanitizers ${ZELMORA_SANITIZE})
    if("undefined" IN_LIST _zelmora_sanitizers)
        list(APPEND _zelmora_sanitizers float-cast-overflow)
    endif()
    string(REPLACE ";" "," _zelmora_san "${_zelmora_sanitizers}")
    add_compile_options(-fsanitize=${_zelmora_san} -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_zelmora_san})
endif()

# Position-independent code for the Python module's sake, without giving up
# inlining across a library's own functions (which GCC otherwise allows to
# be interposed).
if(CMAKE_POSITION_INDEPENDENT_CODE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
    add_compile_options(-fno-semantic-interposition)
endif()

if(CMAKE_CXX_COMPILER_LAUNCHER STREQUAL "" OR NOT DEFINED CMAKE_CXX_COMPILER_LAUNCHER)
    find_program(ZELMORA_CCACHE ccache)
    if(ZELMORA_CCACHE)
        set(CMAKE_CXX_COMPILER_LAUNCHER ${ZELMORA_CCACHE})
    endif()
endif()

# Warnings for the project's own code (third-party headers come in as
# system includes and stay quiet).
function(zelmora_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${ZELMORA_WERROR}>:/WX>)
    else()
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
            -Wcast-align -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations
            $<$<BOOL:${ZELMORA_WERROR}>:-Werror>)
        # GCC before 13 also warns when a designated initializer leaves
        # members to their defaults, which is the point of writing one.
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
            target_compile_options(${target} PRIVATE -Wno-missing-field-initializers)
        endif()
    endif()
endfunction()

# A static library of product code under src/: includes are written from
# src/ ("usb/UsbDevice.h").
function(zelmora_library target)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${target} STATIC ${ARG_SOURCES})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
    zelmora_warnings(${target})
endfunction()

# Fuzzing builds instrument every library for coverage; the harnesses add
# the libFuzzer driver themselves.
if(ZELMORA_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The two operation manuals, Markdown in docs/, as the PDFs the Help menu
# opens ("Operation Manual_Eng.pdf", "Operation Manual_Chs.pdf"), written
# into `dir` at build time by the Qt tool `tool` (zelmora_make_manual, or
# the host's build of it imported into a cross build). `target` builds them.
function(zelmora_manuals target tool dir)
    # The tool is a build step, not a program under test: in sanitizer
    # builds it runs with leak reports and race reports off (Qt's font and
    # platform caches live until exit).
    set(_environment QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0
                     TSAN_OPTIONS=report_bugs=0)
    set(_pdfs)
    foreach(_manual "Eng;manual_en.md;Operation Manual" "Chs;manual_zh.md;操作手册")
        list(GET _manual 0 _suffix)
        list(GET _manual 1 _source)
        list(GET _manual 2 _title)
        set(_pdf "${dir}/Operation Manual_${_suffix}.pdf")
        add_custom_command(OUTPUT ${_pdf}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
            COMMAND ${CMAKE_COMMAND} -E env ${_environment}
                    $<TARGET_FILE:${tool}> ${PROJECT_SOURCE_DIR}/docs/${_source} ${_pdf}
                    "Zelmora ${_title}"
            DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/docs/${_source}
            COMMENT "Writing the manual ${_pdf}"
            VERBATIM)
        list(APPEND _pdfs ${_pdf})
    endforeach()
    add_custom_target(${target} ALL DEPENDS ${_pdfs})
endfunction()
