#pragma once
// Spreading a loop's channels over the engine's common outputs.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <kvo/sigcompat.h>

class XMLNode;

namespace Quillomat {

typedef float sample_t;
typedef float pan_t;
typedef float gain_t;
typedef uint32_t nframes_t;

class Panner;

// One mono stream placed in the unit square.
class StreamPanner : public SigC::Object {
  public:
    explicit StreamPanner(Panner& p);
    virtual ~StreamPanner();

    SigC::Signal0<void> Changed;      // position moved
    SigC::Signal0<void> StateChanged; // mute flag changed

    // A call that is not itself a linked one hands the move to the parent
    // first when the panner is linked.
    void set_position(float xpos, bool link_call = false);
    void set_position(float xpos, float ypos, bool link_call = false);
    void set_position(float xpos, float ypos, float zpos, bool link_call = false);

    // Audio path: the move of set_position(xpos), linked streams included,
    // without running a slot (a slot may allocate or block). Each moved
    // stream keeps its Changed pending for emit_pending_change.
    void move_quietly(float xpos);
    // Any thread that may run slots: emits Changed once if a quiet move is
    // pending.
    void emit_pending_change();

    // Any thread: the coordinates are single atomic values.
    void get_position(float& xpos) const { xpos = x.load(std::memory_order_relaxed); }
    void get_position(float& xpos, float& ypos) const {
        xpos = x.load(std::memory_order_relaxed);
        ypos = y.load(std::memory_order_relaxed);
    }
    void get_position(float& xpos, float& ypos, float& zpos) const {
        xpos = x.load(std::memory_order_relaxed);
        ypos = y.load(std::memory_order_relaxed);
        zpos = z.load(std::memory_order_relaxed);
    }

    void set_muted(bool yn);
    bool muted() const { return _muted; }

    // Audio thread: adds src, scaled, into one buffer per output.
    virtual void distribute(sample_t* src, sample_t** obufs, gain_t gain_coeff, nframes_t nframes) = 0;

    virtual XMLNode& get_state() = 0;
    virtual int set_state(const XMLNode& node);
    virtual void update() = 0;

    void add_state(XMLNode& node);

  protected:
    friend class Panner;
    void place(float xpos, bool link_call, bool notify);
    void changed(bool notify);

    Panner& parent;
    // Moved on the audio thread, read by whoever saves the state.
    std::atomic<float> x;
    std::atomic<float> y;
    std::atomic<float> z;
    std::atomic<bool> _change_pending{false};
    float effective_x;
    float effective_y;
    float effective_z;
    bool _muted;
};

class BaseStereoPanner : public StreamPanner {
  public:
    explicit BaseStereoPanner(Panner& p);

    void distribute(sample_t* src, sample_t** obufs, gain_t gain_coeff, nframes_t nframes) override;

    // Gains in use and the ones the position asks for.
    float left_gain() const { return left; }
    float right_gain() const { return right; }
    float desired_left_gain() const { return desired_left; }
    float desired_right_gain() const { return desired_right; }

  protected:
    float left;
    float right;
    float desired_left;
    float desired_right;
    float left_interp;
    float right_interp;
};

// Two outputs, -3 dB in the centre.
class EqualPowerStereoPanner : public BaseStereoPanner {
  public:
    explicit EqualPowerStereoPanner(Panner& p);

    static const std::string name;
    static StreamPanner* factory(Panner& parent);

    XMLNode& get_state() override;
    int set_state(const XMLNode& node) override;
    void update() override;
};

// Three or more outputs placed in the square; gains from squared distances.
class Multi2dPanner : public StreamPanner {
  public:
    explicit Multi2dPanner(Panner& p);

    static const std::string name;
    static StreamPanner* factory(Panner& parent);

    void distribute(sample_t* src, sample_t** obufs, gain_t gain_coeff, nframes_t nframes) override;
    XMLNode& get_state() override;
    int set_state(const XMLNode& node) override;
    void update() override;

    // This stream's gain for output i (0 past the outputs it was built for).
    pan_t gain(uint32_t i) const { return i < _gains.size() ? _gains[i] : 0.0f; }

  private:
    // Sized once to the parent's outputs, so moving the stream on the audio
    // thread never allocates.
    std::vector<pan_t> _gains;
};

// The streams of one loop (one per channel) and the common outputs.
class Panner : public std::vector<StreamPanner*>, public SigC::Object {
  public:
    enum LinkDirection { SameDirection = 0, OppositeDirection = 1 };

    struct Output {
        float x;
        float y;
        pan_t current_pan;
        pan_t desired_pan; // gains of the 2-D stream moved last
        Output(float xp, float yp) : x(xp), y(yp), current_pan(0), desired_pan(0) {}
    };

    explicit Panner(std::string name);
    virtual ~Panner();
    Panner(const Panner&) = delete;
    Panner& operator=(const Panner&) = delete;

    SigC::Signal0<void> Changed;
    std::vector<Output> outputs;
    SigC::Signal0<void> LinkStateChanged;
    SigC::Signal0<void> StateChanged;

    void set_name(std::string) {}

    bool linked() const { return _linked; }
    bool bypassed() const { return _bypassed; }
    LinkDirection link_direction() const { return _link_direction; }

    void set_linked(bool yn);
    void set_link_direction(LinkDirection ld);
    void set_bypassed(bool yn);

    void reset(uint32_t nouts, uint32_t npans);
    void remove(uint32_t which);
    void clear();

    // Linked moves: orig takes the given position, the others follow by the
    // same delta, clamped to 0..1.
    void set_position(float xpos, StreamPanner& orig) { move_linked(xpos, orig, true); }
    void set_position(float xpos, float ypos, StreamPanner& orig);
    void set_position(float xpos, float ypos, float zpos, StreamPanner& orig);

    // Changed of every stream moved quietly since the last call; on a thread
    // that may run slots.
    void emit_pending_changes();

    // Any thread, also while the audio thread moves the streams; the layout
    // itself changes only before the owning loop runs.
    XMLNode& get_state();
    XMLNode& state(bool full);
    int set_state(const XMLNode& node);

  private:
    friend class StreamPanner;
    void move_linked(float xpos, StreamPanner& orig, bool notify);
    bool layout_matches() const;

    bool _linked;
    bool _bypassed;
    LinkDirection _link_direction;
    // The counts of the last real reset: what the owning loop needs.
    uint32_t _layout_outputs;
    uint32_t _layout_streams;
};

struct PanPlugins {
    std::string name;
    uint32_t nouts;
    StreamPanner* (*factory)(Panner&);
};

// Ends with a row without a factory.
extern PanPlugins pan_plugins[];

} // namespace Quillomat
