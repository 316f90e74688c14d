// The command handlers of the virtual card, one per command; the dispatcher
// (virtual_card.cpp) routes each command APDU to its handler.
#pragma once

#include "sim/internal/apdu.h"
#include "sim/internal/card_state.h"

namespace korva::sim {

using CommandHandler = Answer (*)(CardState&, const Command&);

// File system (commands_files.cpp).
Answer selectFile(CardState& card, const Command& command);
Answer createFile(CardState& card, const Command& command);
Answer deleteFile(CardState& card, const Command& command);
Answer activateFile(CardState& card, const Command& command);

// File contents (commands_data.cpp).
Answer readBinary(CardState& card, const Command& command);
Answer updateBinary(CardState& card, const Command& command);
Answer readRecord(CardState& card, const Command& command);
Answer updateRecord(CardState& card, const Command& command);
Answer appendRecord(CardState& card, const Command& command);
Answer putData(CardState& card, const Command& command);

// Card-level commands (commands_card.cpp).
Answer getChallenge(CardState& card, const Command& command);
Answer cardQuery(CardState& card, const Command& command);           // 80 FE
Answer cardInformation(CardState& card, const Command& command);     // 80 78
Answer keySlotBitmap(CardState& card, const Command& command);       // 80 74
Answer resetSecurityState(CardState& card, const Command& command);  // 80 52

// PINs (pins.cpp).
Answer verify(CardState& card, const Command& command);
Answer changeReferenceData(CardState& card, const Command& command);
Answer resetRetryCounter(CardState& card, const Command& command);

// Security environment (commands_security_env.cpp).
Answer manageSecurityEnvironment(CardState& card, const Command& command);  // 00 22

// Security operations (commands_signature.cpp routes 00 2A by P1-P2).
Answer performSecurityOperation(CardState& card, const Command& command);
Answer computeDigitalSignature(CardState& card, const Command& command);
Answer verifyDigitalSignature(CardState& card, const Command& command);
Answer encipher(CardState& card, const Command& command);  // commands_cipher.cpp
Answer decipher(CardState& card, const Command& command);

// Public keys and key generation (commands_keygen.cpp).
Answer publicKeyCommand(CardState& card, const Command& command);   // 00 46
Answer generateKeyOnCard(CardState& card, const Command& command);  // 80 76

// Key agreement (commands_agreement.cpp).
Answer keyAgreement(CardState& card, const Command& command);  // 80 50

}  // namespace korva::sim
