// Feeds arbitrary bytes to the converter: each input is either refused or converted exactly.
#include <cstdio>
#include <cstdlib>

#include "converted_database.hpp"
#include "roundtrip_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    palmconv::MemorySource in(data, size);
    palmconv::VectorSink out;
    // Small copy blocks that vary from input to input put record and block edges everywhere.
    const std::size_t block_size = 1 + size % 97;
    const palmconv::FormatError error = palmconv::convert_database(in, out, block_size);
    const auto records = palmconv::fuzzing::expected_records(data, size);
    if (records.has_value() != (error == palmconv::FormatError::none)) {
        std::fprintf(stderr, "converter %s an input the model %s (error %d)\n",
                     records ? "refused" : "accepted", records ? "accepts" : "refuses",
                     static_cast<int>(error));
        std::abort();
    }
    if (records) palmconv::fuzzing::check_conversion(data, size, *records, out.bytes);
    return 0;
}
