# Configures the project as for other processors (a cross build with a named processor:
# nothing is compiled) and checks which kernel files each build would compile:
#   cmake -DSOURCE=<checkout> -DWORK=<empty folder> -DGENERATOR=<generator> -P kernel_sets.cmake

function(configure processor result_var output_var)
  set(tree "${WORK}/${processor}")
  file(REMOVE_RECURSE "${tree}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${tree}" -G "${GENERATOR}" -DCMAKE_SYSTEM_NAME=Linux
            -DCMAKE_SYSTEM_PROCESSOR=${processor} -DPXVOREL_BUILD_MODULE=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${result_var} "${result}" PARENT_SCOPE)
  set(${output_var} "${output}" PARENT_SCOPE)
endfunction()

# The kernel files in the compile commands of a configured tree, and the x86 flags anywhere.
function(compiled processor out)
  file(READ "${WORK}/${processor}/compile_commands.json" commands)
  string(REGEX MATCHALL "kernel_[a-z0-9]+\\.cpp\"" files "${commands}")
  list(REMOVE_DUPLICATES files)
  list(SORT files)
  string(REGEX MATCHALL "-mavx[a-z0-9]*|-mfma|PX_KERNEL_[A-Z0-9]+" flags "${commands}")
  list(REMOVE_DUPLICATES flags)
  list(SORT flags)
  string(REPLACE "\"" "" files "${files}")
  set(${out} "${files} | ${flags}" PARENT_SCOPE)
endfunction()

set(failures 0)
function(expect what got want)
  if(got STREQUAL want)
    message(STATUS "ok: ${what}")
  else()
    message(STATUS "FAILED: ${what}: got '${got}', want '${want}'")
    math(EXPR failures "${failures} + 1")
    set(failures ${failures} PARENT_SCOPE)
  endif()
endfunction()

foreach(processor aarch64 ppc64le riscv64)
  configure(${processor} result output)
  expect("${processor} configures" "${result}" 0)
  if(result EQUAL 0)
    compiled(${processor} got)
    expect("${processor} compiles the portable kernel only" "${got}" "kernel_path.cpp;kernel_portable.cpp | ")
  endif()
endforeach()

set(x86_flags "-mavx2;-mavx512bw;-mavx512dq;-mavx512f;-mavx512vl;-mfma;PX_KERNEL_AVX2;PX_KERNEL_AVX512")
configure(x86_64 result output)
compiled(x86_64 got)
expect("x86_64 compiles every kernel" "${got}"
       "kernel_avx2.cpp;kernel_avx512.cpp;kernel_path.cpp;kernel_portable.cpp | ${x86_flags}")

configure(x86_64 result output -DPXVOREL_KERNELS=avx2)
compiled(x86_64 got)
expect("x86_64 with PXVOREL_KERNELS=avx2 leaves avx512 out" "${got}"
       "kernel_avx2.cpp;kernel_path.cpp;kernel_portable.cpp | -mavx2;-mfma;PX_KERNEL_AVX2")

configure(aarch64 result output -DPXVOREL_KERNELS=avx2)
set(refusal "PXVOREL_KERNELS: no 'avx2' kernel for a aarch64 processor")
string(FIND "${output}" "${refusal}" at)
if(at GREATER -1)
  set(at "${refusal}")
endif()
expect("aarch64 refuses an x86 kernel, naming it" "${result}: ${at}" "1: ${refusal}")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} failed")
endif()
