# The scoring library, shared by the project's own build and the fuzz build:
# the regular-expression library found once, and add_scorelib for each build
# variant.

# The classic PCRE library wherever it is available, else PCRE2;
# POSTSENTINEL_REGEX=pcre or pcre2 forces one. Sets regex_backend, have_pcre
# have_pcre2 and other_backend.
set(POSTSENTINEL_REGEX "auto" CACHE STRING "Regular-expression library: auto, pcre or pcre2")
set_property(CACHE POSTSENTINEL_REGEX PROPERTY STRINGS auto pcre pcre2)
find_package(Threads REQUIRED)
find_path(PCRE_INCLUDE_DIR pcre.h)
find_library(PCRE_LIBRARY pcre)
find_path(PCRE2_INCLUDE_DIR pcre2.h)
find_library(PCRE2_LIBRARY pcre2-8)
set(have_pcre OFF)
set(have_pcre2 OFF)
if(PCRE_INCLUDE_DIR AND PCRE_LIBRARY)
  set(have_pcre ON)
endif()
if(PCRE2_INCLUDE_DIR AND PCRE2_LIBRARY)
  set(have_pcre2 ON)
endif()
if(POSTSENTINEL_REGEX STREQUAL "auto")
  if(have_pcre)
    set(regex_backend pcre)
  else()
    set(regex_backend pcre2)
  endif()
else()
  set(regex_backend ${POSTSENTINEL_REGEX})
endif()
if(regex_backend STREQUAL "pcre" AND NOT have_pcre)
  message(FATAL_ERROR "The classic PCRE library and its headers are needed (Debian: libpcre3-dev)")
endif()
if(regex_backend STREQUAL "pcre2" AND NOT have_pcre2)
  message(FATAL_ERROR "PCRE2 and its headers are needed (Debian: libpcre2-dev)")
endif()
message(STATUS "Regular-expression library: ${regex_backend}")
# Where both are installed, the one not chosen, which the suite and the fuzz
# build exercise too; empty otherwise.
set(other_backend "")
if(have_pcre AND have_pcre2)
  if(regex_backend STREQUAL "pcre")
    set(other_backend pcre2)
  else()
    set(other_backend pcre)
  endif()
endif()

# The multi-pattern prefilter that leaves out the rules that cannot match a
# message, where Vectorscan (or Hyperscan) is installed; without it the
# build works and every rule is searched.
option(POSTSENTINEL_PREFILTER "Use Vectorscan or Hyperscan, where installed, for the prefilter" ON)
set(have_prefilter OFF)
if(POSTSENTINEL_PREFILTER)
  find_path(HS_INCLUDE_DIR hs/hs.h)
  find_library(HS_LIBRARY hs)
  # The plugin only runs prefilters: the runtime alone, without the compiler
  # and the C++ library it needs, where it is packaged.
  find_library(HS_RUNTIME_LIBRARY hs_runtime)
  if(HS_INCLUDE_DIR AND HS_LIBRARY)
    set(have_prefilter ON)
    if(NOT HS_RUNTIME_LIBRARY)
      set(HS_RUNTIME_LIBRARY ${HS_LIBRARY})
    endif()
  endif()
endif()
message(STATUS "Prefilter: ${have_prefilter}")

# The work budget of the searches, in milliseconds of the scan's CPU time:
# no rule and no message can make one scan run long.
set(POSTSENTINEL_SEARCH_BUDGET_MS 900 CACHE STRING
    "CPU time one search of one rule may take before it ends with the match-limit diagnostic")
set(POSTSENTINEL_SEARCH_GUARANTEE_MS 1 CACHE STRING
    "CPU time every search may take, whatever the searches before it in the message took")
set(POSTSENTINEL_MESSAGE_BUDGET_MS 8000 CACHE STRING
    "CPU time the searches of one message may take together")
set(POSTSENTINEL_MATCHER_MEMORY_MIB 192 CACHE STRING
    "Memory in MiB, beyond the size of the text, that one deep search may take")
set(POSTSENTINEL_LOCK_WAIT_MS 2000 CACHE STRING
    "Milliseconds a scan waits for the lock of the hit statistics file before it skips the record")

set(scorelib_dir ${CMAKE_CURRENT_LIST_DIR}/../scorelib)
# What the library keeps to itself: the headers of scorelib/internal are
# seen only by the library, by blocklistctl (which reads the same files) and
# by the tests and benchmarks, through postsentinel::scorelib_internals.
set(scorelib_internal ${scorelib_dir}/internal)
set(scorelib_sources
    ${scorelib_dir}/evalscore.cpp
    ${scorelib_dir}/ruleset.cpp
    ${scorelib_dir}/scorelib.cpp
    ${scorelib_dir}/sink.cpp
    ${scorelib_internal}/message/casefold.cpp
    ${scorelib_internal}/message/message.cpp
    ${scorelib_internal}/message/subject.cpp
    ${scorelib_internal}/rules/rules.cpp
    ${scorelib_internal}/rules/rulefile.cpp
    ${scorelib_internal}/rules/compiledrules.cpp
    ${scorelib_internal}/counting/countmatches.cpp
    ${scorelib_internal}/counting/patternstore.cpp
    ${scorelib_internal}/counting/search.cpp
    ${scorelib_internal}/counting/watchedpattern.cpp
    ${scorelib_internal}/fastpath/literalscan.cpp
    ${scorelib_internal}/fastpath/patternsyntax.cpp
    ${scorelib_internal}/fastpath/prefilter.cpp
    ${scorelib_internal}/fastpath/prefilterpattern.cpp
    ${scorelib_internal}/fastpath/shape.cpp
    ${scorelib_internal}/fastpath/skippolicy.cpp
    ${scorelib_internal}/fastpath/textindex.cpp
    ${scorelib_internal}/stats/stats.cpp
    ${scorelib_internal}/system/sysio.cpp)

# postsentinel::scorelib${suffix} on the given regular-expression library,
# and postsentinel::scorelib_internals${suffix} with its internal headers too;
# further arguments are compile and link options of the variant (sanitizers)
# that its users take too. The public headers are those of scorelib/ itself;
# the regular-expression library's headers stay private to it.
function(add_scorelib suffix backend)
  if(backend STREQUAL "pcre")
    set(backend_sources ${scorelib_internal}/counting/regex_pcre.cpp
                        ${scorelib_internal}/counting/matchstack.cpp)
    set(backend_include ${PCRE_INCLUDE_DIR})
    set(backend_library ${PCRE_LIBRARY})
  else()
    set(backend_sources ${scorelib_internal}/counting/regex_pcre2.cpp)
    set(backend_include ${PCRE2_INCLUDE_DIR})
    set(backend_library ${PCRE2_LIBRARY})
  endif()
  set(name postsentinel_scorelib${suffix})
  add_library(${name} STATIC ${scorelib_sources} ${backend_sources})
  add_library(postsentinel::scorelib${suffix} ALIAS ${name})
  target_include_directories(${name} PUBLIC ${scorelib_dir}
                             PRIVATE ${scorelib_internal} ${backend_include})
  target_link_libraries(${name} PUBLIC ${backend_library} Threads::Threads)
  target_compile_options(${name} PRIVATE ${warnings} PUBLIC ${ARGN})
  target_compile_definitions(${name} PRIVATE
      POSTSENTINEL_SEARCH_BUDGET_MS=${POSTSENTINEL_SEARCH_BUDGET_MS}
      POSTSENTINEL_SEARCH_GUARANTEE_MS=${POSTSENTINEL_SEARCH_GUARANTEE_MS}
      POSTSENTINEL_MESSAGE_BUDGET_MS=${POSTSENTINEL_MESSAGE_BUDGET_MS}
      POSTSENTINEL_MATCHER_MEMORY_MIB=${POSTSENTINEL_MATCHER_MEMORY_MIB}
      POSTSENTINEL_LOCK_WAIT_MS=${POSTSENTINEL_LOCK_WAIT_MS})
  target_link_options(${name} PUBLIC ${ARGN})
  # Making compiled forms (blocklistctl compile, the tests) needs the
  # prefilter's compiler; the plugin only reads them.
  add_library(${name}_maker STATIC ${scorelib_internal}/rules/compiledrules_make.cpp
                                   ${scorelib_internal}/fastpath/prefilterbuild.cpp)
  target_include_directories(${name}_maker PRIVATE ${scorelib_dir} ${scorelib_internal})
  target_compile_options(${name}_maker PRIVATE ${warnings} PUBLIC ${ARGN})
  target_link_libraries(${name}_maker PUBLIC ${name})
  if(have_prefilter)
    foreach(target ${name} ${name}_maker)
      target_compile_definitions(${target} PRIVATE POSTSENTINEL_PREFILTER)
      target_include_directories(${target} PRIVATE ${HS_INCLUDE_DIR})
    endforeach()
    target_link_libraries(${name}_maker PUBLIC ${HS_LIBRARY})
  endif()
  add_library(${name}_internals INTERFACE)
  add_library(postsentinel::scorelib_internals${suffix} ALIAS ${name}_internals)
  target_include_directories(${name}_internals INTERFACE ${scorelib_internal})
  target_link_libraries(${name}_internals INTERFACE ${name}_maker)
endfunction()
