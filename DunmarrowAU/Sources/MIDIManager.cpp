#include "MIDIManager.hpp"

#include <cstdio>
#include <iostream>
#include <random>
#include <vector>

#include "foundation/Bundle.hpp"

UUID UUID::random() {
    std::random_device device;
    UUID uuid;
    for (std::size_t i = 0; i < uuid.bytes.size(); i += 4) {
        const std::uint32_t word = device();
        for (std::size_t b = 0; b < 4; ++b) uuid.bytes[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x40);  // version 4
    uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return uuid;
}

std::string UUID::uuidString() const {
    std::string text;
    char hex[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(bytes[i]));
        text += hex;
    }
    return text;
}

const std::shared_ptr<MIDIManager>& MIDIManager::shared() {
    static const std::shared_ptr<MIDIManager> instance = make();
    return instance;
}

std::shared_ptr<MIDIManager> MIDIManager::make() { return std::shared_ptr<MIDIManager>(new MIDIManager()); }

std::string MIDIManager::clientName() {
    const auto name = foundation::Bundle::main().stringForInfoDictionaryKey("CFBundleName");
    if (!name) return kFallbackClientName;
    return *name + "_MIDIClient";
}

bool MIDIManager::createClient() {
    const std::string name = clientName();
    // The handler keeps the manager alive: the client lives until the process
    // ends. It runs on the MIDI notification thread.
    auto self = shared_from_this();
    const midi::OSStatus status = midi::MIDIClientCreateWithBlock(
        name, &client, [self](const midi::MIDINotification* notification) { self->handleNotification(notification); });
    if (status != midi::noErr) {
        std::cout << "Failed to create MIDI Client" << std::endl;
        return false;
    }
    return true;
}

bool MIDIManager::setupPort(midi::MIDIProtocolID protocol, midi::MIDIReceiveBlock receiveHandler) {
    if (!createClient()) return false;
    if (midi::MIDIInputPortCreateWithProtocol(client, kInputPortName, protocol, &port, std::move(receiveHandler)) !=
        midi::noErr) {
        return false;
    }
    std::vector<midi::MIDIEndpointRef> sources;
    const midi::ItemCount count = midi::MIDIGetNumberOfSources();
    for (midi::ItemCount index = 0; index < count; ++index) sources.push_back(midi::MIDIGetSource(index));
    for (const midi::MIDIEndpointRef source : sources) {
        if (midi::MIDIPortConnectSource(port, source, nullptr) != midi::noErr) {
            std::cout << "Failed to connect to source " << source << std::endl;
            return false;
        }
    }
    return true;
}

void MIDIManager::handleNotification(const midi::MIDINotification* notification) {
    if (notification == nullptr) return;
    switch (notification->messageID) {
        case midi::kMIDIMsgObjectAdded: {
            const auto* added = reinterpret_cast<const midi::MIDIObjectAddRemoveNotification*>(notification);
            if (added->childType == midi::kMIDIObjectType_Source &&
                midi::MIDIPortConnectSource(port, added->child, nullptr) != midi::noErr) {
                std::cout << "Failed to connect to MIDI Source: " << added->child << std::endl;
            }
            break;
        }
        case midi::kMIDIMsgObjectRemoved: {
            const auto* removed = reinterpret_cast<const midi::MIDIObjectAddRemoveNotification*>(notification);
            if (removed->childType == midi::kMIDIObjectType_Source &&
                midi::MIDIPortDisconnectSource(port, removed->child) != midi::noErr) {
                std::cout << "Failed to disconnect MIDI Source: " << removed->child << std::endl;
            }
            break;
        }
        case midi::kMIDIMsgIOError: {
            const auto* error = reinterpret_cast<const midi::MIDIIOErrorNotification*>(notification);
            std::cout << "IO Error Occurred: " << error->errorCode << std::endl;
            break;
        }
        default:
            break;
    }
}
