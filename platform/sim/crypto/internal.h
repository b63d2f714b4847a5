// What the crypto area gives the other areas: its row of the table of areas. Provider and hash
// handles are in the handle table, which the kernel counts.
#pragma once

namespace sim {

void ResetCryptoLocked();  // forgets every key container

}  // namespace sim
