#include "tests/support/FileSizeLimit.h"

FileSizeLimit::FileSizeLimit(uint64_t) {}

FileSizeLimit::~FileSizeLimit() = default;
