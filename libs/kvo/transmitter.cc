#include <kvo/transmitter.h>

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

Transmitter::Transmitter(Channel c)
    : std::stringstream(std::ios::in | std::ios::out), channel(c), send(nullptr) {
    switch (c) {
    case Info:
        send = &info;
        break;
    case Error:
        send = &error;
        break;
    case Warning:
        send = &warning;
        break;
    case Fatal:
        send = &fatal;
        break;
    case Throw:
        break;
    }
}

Transmitter::~Transmitter() {}

void Transmitter::deliver() {
    // The NUL ends this message inside a buffer that may still hold the tail
    // of a longer earlier one. Written through the buffer so that a stream
    // left failed by a bad insertion still gets it.
    clear();
    rdbuf()->sputc('\0');

    std::string text = str();
    if (send) {
        send->emit(channel, text.c_str());
    }

    clear();
    seekp(0, std::ios::beg);
    seekg(0, std::ios::beg);

    if (does_not_return()) {
        // End here, not in exit(): other threads may still be using the
        // objects that static destruction would tear down under them.
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        _exit(1);
    }
}

std::ostream& endmsg(std::ostream& ostr) {
    if (&ostr == &std::cout || &ostr == &std::cerr || &ostr == &std::clog) {
        return ostr << std::endl;
    }
    if (Transmitter* t = dynamic_cast<Transmitter*>(&ostr)) {
        t->deliver();
        return ostr;
    }
    return ostr << std::endl;
}

extern "C" void kvo_c_error(const char* str) {
    if (str) {
        Kvo::error << str;
    }
    Kvo::error << endmsg;
}
