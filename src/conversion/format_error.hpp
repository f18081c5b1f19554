// Why the format code refused an input or could not finish its output.
#pragma once

namespace palmconv {

enum class FormatError {
    none,
    truncated_header,       // the file is shorter than the 78-byte database header
    file_too_large,         // the file is longer than 32-bit offsets can address
    not_text_document,      // the type or creator is not that of a text document
    no_records,             // the first record list is empty
    truncated_record_list,  // the file ends inside the first record list
    record_before_list,     // a record starts inside the header or the record list
    records_out_of_order,   // a record offset is below the one before it
    bad_next_list,          // the next list is empty or unreadable, or points back or past the file
    record_past_end,        // a record starts past the end of data
    record0_too_short,      // record 0 cannot hold the converted document header fields
    record_too_long,        // a record length does not fit the length prefix
    output_too_large,       // a stored record would start beyond a 32-bit file offset
    short_read,             // the input ended early or could not be read
    write_failed,           // the output refused bytes
};

}  // namespace palmconv
