// What the Services window and its "Kelmar Service" form decide, apart from
// their windows: the checks on a form, the settings it makes, and where a new
// service goes.
#pragma once

#include <string>

#include "diagnostics/translate.h"
#include "engine/extra_service.h"

class CPlaytally;

// The Status column of a service switched off (its last answer otherwise).
constexpr char kServiceSwitchedOff[] = TR_TEXT("Switched off");

// The form as typed: the user name and password in the code page, as
// Kelmar's own are; the password empty unless one was typed.
struct ServiceForm {
    std::string name;  // UTF-8
    std::string handshakeUrl;
    std::string username;
    std::string password;
    bool enabled = true;
};

enum class ServiceField { kNone, kName, kAddress, kUser, kPassword };

// Why OK refuses the form, naming the field as the window labels it; empty
// when it may be saved. `stored`: the service edited, nullptr for a new one;
// `field`: the one to put right.
std::string ServiceFormRefusal(const ServiceForm& form, const ServiceSettings* stored,
                               ServiceField* field = nullptr);

// The settings the form saves (a typed password as its digest, none typed:
// the stored digest).
ServiceSettings ServiceFromForm(const ServiceForm& form, const ServiceSettings* stored);

// The lowest number with no service set; 0 when all are.
int FreeServiceNumber(const CPlaytally& engine);

// The two questions Remove asks.
std::string RemoveServiceQuestion(const std::string& name);
std::string DiscardPlaysQuestion(const std::string& name, int waiting);
