// A channel whose secret is stored but cannot be read just now (a locked
// keyring, no session bus before login): it must not go out with an empty
// secret, and it must not be stopped as if no secret were stored. It fails
// for this refresh with one line saying why, and is tried again at the next
// one, when the channels are built anew and the secret read again.
#pragma once

#include <memory>
#include <string>

#include "app/refresh/delivery_channel.h"

namespace zelmar {

// channel as it is (record, due rule, fingerprint), but delivering nothing:
// problem says why its secret cannot be had.
std::unique_ptr<DeliveryChannel> HeldForSecret(std::unique_ptr<DeliveryChannel> channel, std::string problem);

}  // namespace zelmar
