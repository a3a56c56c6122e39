// Counts the process's allocations through operator new, so a test can see that code makes none.
#pragma once

#include <cstddef>

std::size_t AllocationCount();
