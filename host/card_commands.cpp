#include "host/card_commands.h"

namespace korva::host {

bool leavesCardContentAlone(std::span<const uint8_t> command) {
    if (command.size() < 4) return true;  // no command the card would act on
    switch (command[1]) {
        case 0xA4:  // SELECT
        case 0xB0:  // READ BINARY
        case 0xB2:  // READ RECORD
        case 0xC0:  // GET RESPONSE
        case 0x84:  // GET CHALLENGE
        case 0x20:  // VERIFY (its retry counter aside)
        case 0x22:  // MANAGE SECURITY ENVIRONMENT
        case 0x2A:  // PERFORM SECURITY OPERATION
        case 0xFE:  // card identity and capability
        case 0x78:  // card information
        case 0x52:  // reset of the security state
        case 0x50:  // key agreement
            return true;
        case 0x46:  // READ PUBLIC KEY (P1 01) or a key-pair generation
            return command[2] == 0x01;
        default: return false;
    }
}

}  // namespace korva::host
