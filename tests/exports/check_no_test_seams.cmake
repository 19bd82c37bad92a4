# Checks that what is installed carries nothing of the tests: the tool has no fault
# hook, while the tests' copy of it has (which shows that the check would see them).
# Usage: cmake -DSHIPPED=<file;...> -DTEST_COPIES=<file;...> -P check_no_test_seams.cmake
set(seam_pattern "TARVELO_TOOL_TEST_[A-Z_]+")
foreach(file IN LISTS SHIPPED)
  file(STRINGS ${file} found REGEX "${seam_pattern}")
  if(found)
    list(GET found 0 first)
    message(FATAL_ERROR "${file} carries test code: ${first}")
  endif()
endforeach()
foreach(file IN LISTS TEST_COPIES)
  file(STRINGS ${file} found REGEX "${seam_pattern}")
  if(NOT found)
    message(FATAL_ERROR "${file} was meant to carry the test seams, and none was found")
  endif()
endforeach()
