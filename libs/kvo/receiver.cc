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
    const char* prefix;
    switch (channel) {
    case Transmitter::Info:
        prefix = ": [INFO]: ";
        break;
    case Transmitter::Error:
        prefix = ": [ERROR]: ";
        break;
    case Transmitter::Warning:
        prefix = ": [WARNING]: ";
        break;
    case Transmitter::Fatal:
        prefix = ": [FATAL]: ";
        break;
    case Transmitter::Throw:
        std::abort();
    default:
        prefix = "";
        break;
    }

    std::cout << name << prefix << text << std::endl;

    if (channel == Transmitter::Fatal) {
        // As the channel itself ends a fatal message: without tearing down
        // objects other threads may still be using.
        std::fflush(nullptr);
        _exit(9);
    }
}
