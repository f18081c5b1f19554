// An independent model of what a conversion must produce, used to check every fuzzed run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace palmconv::fuzzing {

struct Record {
    std::uint32_t offset;
    std::uint32_t length;
};

// The records a conforming converter must carry over, or nothing when it must refuse `input`.
std::optional<std::vector<Record>> expected_records(const std::uint8_t* input, std::size_t size);

// Aborts unless `output` decodes to exactly the records of `input` behind a well-formed header.
void check_conversion(const std::uint8_t* input, std::size_t size,
                      const std::vector<Record>& records, const std::vector<std::uint8_t>& output);

}  // namespace palmconv::fuzzing
