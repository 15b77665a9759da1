# Sanitizer build (test infrastructure, never a release): every target under
# AddressSanitizer and UndefinedBehaviorSanitizer, any finding fatal.
#
# The runtime is linked dynamically: a static one hangs under libfaketime's
# preload in the simulated clock, both intercepting clock_gettime at start.
# The boot hook stays unsanitized: the EasyUI host that loads it is not, and
# its "-z defs" link would reject the runtime's symbols; it is checked under
# valgrind instead.
set(TAVRINE_SANITIZERS address,undefined)
add_compile_options(-fsanitize=${TAVRINE_SANITIZERS} -fno-sanitize-recover=all -fno-omit-frame-pointer)
# The runtime's folder is not on the loader's path: record it in every binary.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
  OUTPUT_VARIABLE TAVRINE_SANITIZER_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
add_link_options(-fsanitize=${TAVRINE_SANITIZERS} -shared-libsan -Wl,-rpath,${TAVRINE_SANITIZER_RUNTIME})

# The clock starts every process with a cleared environment, so the
# programs carry their sanitizer options (report files) compiled in.
add_library(sanitizer-options OBJECT ${CMAKE_CURRENT_LIST_DIR}/../tests/sanitize/default_options.c)

function(tavrine_sanitize_finish)
  foreach(program tavrine-boot-control tavrine-ota-switch tavrine-install-guard)
    target_link_libraries(${program} PRIVATE sanitizer-options)
  endforeach()
  target_compile_options(tavrine-boot PRIVATE -fno-sanitize=all)
  target_link_options(tavrine-boot PRIVATE -fno-sanitize=all)
endfunction()
# Runs once the whole tree, and so every target named above, is defined.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tavrine_sanitize_finish)
