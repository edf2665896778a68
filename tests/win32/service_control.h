// The reference service's control paths as a Windows test reaches them: the
// service runs natively beside Wine, its port in KELMAR_SERVICE_PORT, and is
// asked straight through WinInet on 127.0.0.1, never through a proxy.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

uint16_t ServicePort();
// One request to the service; the body of its answer.
std::string Control(const char* verb, const char* path, const std::string& body = "");
// Queues scripted answers (see the service's /_control/script).
void Script(const nlohmann::json& answers);
// Every protocol request the service received, as it received it.
nlohmann::json Requests();
// The plays the service accepted, newest first.
nlohmann::json Plays();
// Every value of a header field of a recorded request, matched without case.
std::vector<std::string> Header(const nlohmann::json& request, const char* name);
