#pragma once
// The listening side of the message channels: a receiver gets every finished
// message of each channel it listens to, on the writer's thread.

#include <kvo/sigcompat.h>
#include <kvo/transmitter.h>

#include <vector>

class Receiver : virtual public SigC::Object {
  public:
    Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    virtual ~Receiver();

    void listen_to(Transmitter& transmitter);
    // Stops listening to every channel.
    void hangup();

  protected:
    virtual void receive(Transmitter::Channel channel, const char* text) = 0;

  private:
    std::vector<SigC::Connection> connections;
};

// Prints each message to standard output under a name and a level prefix.
// A Fatal message ends the process once printed; a Throw one ends it at once.
class TextReceiver : public Receiver {
  public:
    explicit TextReceiver(const std::string& name);

  protected:
    void receive(Transmitter::Channel channel, const char* text) override;

  private:
    std::string name;
};
