# BRISKO_MIN_RELEASE is written into the program as a C++ number, so it must be one the program
# reads as the same number: no leading zero (C++ would read it as octal: 01777000000 becomes
# 268,173,312) and at most 18 digits (no release file can carry a larger number, so a floor above
# it could never be met). Sets `result` to "" when `value` is such a number, else to why not.
function(brisko_min_release_problem value result)
  string(LENGTH "${value}" length)
  if(NOT value MATCHES "^(0|[1-9][0-9]*)$")
    set(${result} "BRISKO_MIN_RELEASE is a release number without leading zeros, not \"${value}\"." PARENT_SCOPE)
  elseif(length GREATER 18)
    set(${result} "BRISKO_MIN_RELEASE has ${length} digits; a release number has at most 18, so no release could ever meet it." PARENT_SCOPE)
  else()
    set(${result} "" PARENT_SCOPE)
  endif()
endfunction()
