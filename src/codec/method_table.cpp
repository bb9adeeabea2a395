// The method table. (Placeholder: method 5 is filled in with the block decoder.)
#include "codec/method_table.h"

namespace uq::codec {

const Method* find_method(std::uint8_t) { return nullptr; }

}  // namespace uq::codec
