#include <kvo/receiver.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

Receiver::Receiver() {}

Receiver::~Receiver() { hangup(); }

void Receiver::listen_to(Transmitter& transmitter) {
    connections.push_back(transmitter.sender().connect(SigC::slot(*this, &Receiver::receive)));
}

void Receiver::hangup() {
    for (SigC::Connection& c : connections) {
        c.disconnect();
    }
    connections.clear();
}

TextReceiver::TextReceiver(const std::string& n) : name(n) {}

void TextReceiver::receive(Transmitter::Channel channel, const char* text) {
    if (channel == Transmitter::Throw) {
        std::abort();
    }
    // By channel: Info, Error, Warning, Fatal.
    static const char* const prefixes[] = {": [INFO]: ", ": [ERROR]: ", ": [WARNING]: ", ": [FATAL]: "};
    const unsigned int c = channel;
    const char* prefix = c < sizeof(prefixes) / sizeof(prefixes[0]) ? prefixes[c] : "";

    std::cout << name << prefix << text << std::endl;

    if (channel == Transmitter::Fatal) {
        // As the channel itself ends a fatal message: without tearing down
        // objects other threads may still be using.
        std::fflush(nullptr);
        _exit(9);
    }
}
