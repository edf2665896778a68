#include "ui/services_model.h"

#include "diagnostics/format.h"
#include "diagnostics/translate.h"
#include "engine/playtally.h"
#include "record/md5.h"
#include "record/text_encoding.h"
#include "ui/plays_model.h"

namespace {

bool StartsWithWebScheme(const std::string& address) {
    std::string start = AsciiLower(address.substr(0, 8));
    return start.compare(0, 7, "http://") == 0 || start == "https://";
}

}  // namespace

std::string ServiceFormRefusal(const ServiceForm& form, const ServiceSettings* stored,
                               ServiceField* field) {
    ServiceField wrong = ServiceField::kNone;
    std::string refusal;
    if (TrimSpace(form.name).empty()) {
        wrong = ServiceField::kName;
        refusal = Tr("Enter a Name for the service.");
    } else if (!StartsWithWebScheme(TrimSpace(form.handshakeUrl))) {
        wrong = ServiceField::kAddress;
        refusal = Tr("The Handshake address must start with http:// or https://.");
    } else if (form.username.empty()) {
        wrong = ServiceField::kUser;
        refusal = Tr("Enter the User name of your account with the service.");
    } else if (form.password.empty() && (!stored || stored->username != form.username)) {
        // A stored digest belongs to the user name it was made with.
        wrong = ServiceField::kPassword;
        refusal = Tr("Enter the Password of this User name.");
    }
    if (field) *field = wrong;
    return refusal;
}

ServiceSettings ServiceFromForm(const ServiceForm& form, const ServiceSettings* stored) {
    ServiceSettings service;
    if (stored) service.id = stored->id;
    service.name = TrimSpace(form.name);
    service.handshakeUrl = TrimSpace(form.handshakeUrl);
    service.username = form.username;
    service.password = form.password.empty() && stored ? stored->password : Md5Hex(form.password);
    service.enabled = form.enabled ? 1 : 0;
    return service;
}

int FreeServiceNumber(const CPlaytally& engine) {
    for (int number = 1; number <= kMaxExtraServices; ++number) {
        if (!engine.GetService(number).IsSet()) return number;
    }
    return 0;
}

std::string RemoveServiceQuestion(const std::string& name) {
    return Format(Tr("Remove the service %s?"), name.c_str());
}

std::string DiscardPlaysQuestion(const std::string& name, int waiting) {
    // Not counted yet: the file is read by the timer, never here.
    if (waiting < 0)
        return Format(Tr("Discard the plays waiting for %s? Choose No to keep them for when you "
                         "add the service again."),
                      name.c_str());
    return Format(TrPlural(waiting,
                           "Discard the %d play waiting for %s? Choose No to keep it for when "
                           "you add the service again.",
                           "Discard the %d plays waiting for %s? Choose No to keep them for when "
                           "you add the service again."),
                  waiting, name.c_str());
}
