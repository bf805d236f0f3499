// ReadConsoleLine: one line of console input, read plainly or key by key
// without echo (for passwords).
//
// mask -1 reads the input up to a line feed, which is not kept. Any other mask
// reads single keys without echo until carriage return, line feed or the end
// of input, then prints a line end; backspace (8, and 127, which terminals
// send for it) removes the last character and prints backspace, space,
// backspace when there was one; every other key is kept and, when mask > 0,
// shown as the character mask. When the input is not a terminal its bytes are
// read as they come.
//
// Thread safety: one thread at a time may read a given input.
#ifndef QORAPI_COMMON_CONSOLEINPUT_H
#define QORAPI_COMMON_CONSOLEINPUT_H

#include <string>

namespace QORAPI {

// Reads from standard input, prints to standard output.
std::string ReadConsoleLine(int mask);

// The same over the given input and output descriptors.
std::string ReadConsoleLine(int mask, int inFd, int outFd);

} // namespace QORAPI

#endif
