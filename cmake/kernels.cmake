# The instruction sets of the neighborhood kernel besides the portable one, which every
# build has.

# The x86 kernel sets for an x86 processor (as CMAKE_SYSTEM_PROCESSOR names one: x86_64 on
# Linux, AMD64 on Windows, i686 and the like for 32 bits), none for any other.
function(pxvorel_kernel_sets out processor)
  string(TOLOWER "${processor}" processor)
  if(processor MATCHES "^(x86_64|amd64|x64|i[3-6]86|x86)$")
    set(${out} "avx2;avx512" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# Stops the configuration at a set that the processor cannot have.
function(pxvorel_check_kernel_sets sets processor)
  pxvorel_kernel_sets(possible "${processor}")
  foreach(set IN LISTS sets)
    if(NOT set IN_LIST possible)
      list(JOIN possible " " possible)
      message(FATAL_ERROR "PXVOREL_KERNELS: no '${set}' kernel for a ${processor} processor "
                          "(possible besides the portable one: ${possible})")
    endif()
  endforeach()
endfunction()
