#include "control_osc_datagram.h"

#include <new>

namespace Quillomat {

namespace {

void added(int result)
{
    if (result != 0) {
        throw std::bad_alloc();
    }
}

} // namespace

OscDatagram::OscDatagram()
{
    // A path and an empty type tag: the parser copies it.
    char empty[8] = {'/', 0, 0, 0, ',', 0, 0, 0};
    int result = 0;
    _msg = lo_message_deserialise(empty, sizeof(empty), &result);
    if (!_msg) {
        throw std::bad_alloc();
    }
}

OscDatagram::~OscDatagram()
{
    lo_message_free(_msg);
}

OscDatagram& OscDatagram::add(int32_t value)
{
    added(lo_message_add_int32(_msg, value));
    return *this;
}

OscDatagram& OscDatagram::add(float value)
{
    added(lo_message_add_float(_msg, value));
    return *this;
}

OscDatagram& OscDatagram::add(const std::string& value)
{
    return add(value.c_str());
}

OscDatagram& OscDatagram::add(const char* value)
{
    added(lo_message_add_string(_msg, value));
    return *this;
}

std::string OscDatagram::bytes(const char* path) const
{
    std::string out(lo_message_length(_msg, path), '\0');
    size_t size = out.size();
    if (!lo_message_serialise(_msg, path, &out[0], &size) || size != out.size()) {
        throw std::bad_alloc();
    }
    return out;
}

} // namespace Quillomat
