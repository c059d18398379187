# Build time. Every Windows source of the product and of the simulated engine includes
# <windows.h>, and most the Core Audio headers: parsed once per target instead of once per
# source, they cost a second or two less per source.
function(brisvane_windows_headers target)
  target_precompile_headers(${target} PRIVATE <windows.h> <mmdeviceapi.h> <audioclient.h>)
endfunction()

# Build time. Test code is compiled on every run and runs for seconds: unoptimised, it
# compiles in about half the time. The code under test keeps the build type's optimisation.
function(brisvane_unoptimised target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /Od)
  else()
    target_compile_options(${target} PRIVATE -O0)
  endif()
endfunction()
