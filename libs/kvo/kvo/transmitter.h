#pragma once
// Message channels: a stream that a diagnostic is written into and finished
// with endmsg, which hands the text to every connected receiver at once.

#include <kvo/sigcompat.h>

#include <ostream>
#include <sstream>

class Transmitter : public std::stringstream, public SigC::Object {
  public:
    enum Channel { Info, Error, Warning, Fatal, Throw };

    typedef SigC::Signal2<void, Channel, const char*> Signal;

    explicit Transmitter(Channel c);
    ~Transmitter() override;

    // What a receiver connects to. A Throw channel emits nothing, so what it
    // gets there never fires.
    Signal& sender() { return send ? *send : fatal; }

    // Sends the text written since the last delivery; Fatal and Throw then
    // end the process.
    virtual void deliver();

    bool does_not_return() const { return channel == Fatal || channel == Throw; }

  private:
    Channel channel;
    Signal* send;

    Signal info;
    Signal warning;
    Signal error;
    Signal fatal;
};

// Finishes a message: delivers on a channel, ends the line on any other stream.
std::ostream& endmsg(std::ostream& ostr);

extern "C" void kvo_c_error(const char* str);

// The program-wide channels. They live in Kvo, not at global scope, where a
// global named error would clash with the C library's error() from <error.h>.
// Code elsewhere names them Kvo::error or brings them in with
// `using Kvo::error;` inside its own namespace. The plug-in defines them in
// its own source; other programs get the library's (channels.cc).
namespace Kvo {
extern Transmitter error;
extern Transmitter info;
extern Transmitter fatal;
extern Transmitter warning;
} // namespace Kvo
