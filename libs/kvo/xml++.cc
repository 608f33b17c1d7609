#include <kvo/xml++.h>

#include <kvo/file_guard.h>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstdio>

namespace {

// Per-parse options rather than xmlKeepBlanksDefault(): the plug-in lives in
// someone else's process, whose libxml2 settings are not ours to change, and
// text must parse the same whatever was read or written before it. NONET
// keeps a document from making the parser fetch anything.
const int parse_options = XML_PARSE_NOBLANKS | XML_PARSE_NONET;

// libxml2 sets itself up on first use, which is not safe when two threads
// (the engine's and the host's) come first at once: do it while the program
// or plug-in loads, on one thread.
const struct ParserSetUp {
    ParserSetUp() { xmlInitParser(); }
} parser_set_up;

const xmlChar* xml_str(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

std::string std_str(const xmlChar* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); }

// Elements and the text inside them are the document's data. A comment or
// processing instruction would be written back as text, and a node without
// text as a bogus element (a nameless one makes the written file unreadable),
// so those are left out.
bool is_data(xmlNodePtr node) {
    switch (node->type) {
    case XML_ELEMENT_NODE:
        return true;
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_ENTITY_REF_NODE:
        return node->content && node->content[0];
    default:
        return false;
    }
}

XMLNode* node_from_xml(xmlNodePtr node) {
    XMLNode* tmp = new XMLNode(std_str(node->name));

    if (node->type != XML_ELEMENT_NODE) {
        tmp->set_content(std_str(node->content));
        return tmp;
    }
    for (xmlAttrPtr attr = node->properties; attr; attr = attr->next) {
        // The whole value, even when the parser split it around entity
        // references.
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(attr));
        tmp->add_property(std_str(attr->name), std_str(value));
        xmlFree(value);
    }
    // Only elements own their children: an entity reference's "children" is
    // the shared declaration, linked into the DTD.
    for (xmlNodePtr child = node->children; child; child = child->next) {
        if (is_data(child)) {
            tmp->add_child_nocopy(*node_from_xml(child));
        }
    }
    return tmp;
}

void add_text(xmlDocPtr doc, xmlNodePtr parent, const std::string& text) {
    xmlNodePtr t = xmlNewDocTextLen(doc, xml_str(text), static_cast<int>(text.size()));
    if (t && !xmlAddChild(parent, t)) {
        xmlFreeNode(t);
    }
}

void node_to_xml(xmlDocPtr doc, const XMLNode* node, xmlNodePtr parent);

void fill_element(xmlDocPtr doc, xmlNodePtr el, const XMLNode* node) {
    for (const XMLProperty* p : node->properties()) {
        xmlSetProp(el, xml_str(p->name()), xml_str(p->value()));
    }
    for (const XMLNode* child : node->children()) {
        node_to_xml(doc, child, el);
    }
}

void node_to_xml(xmlDocPtr doc, const XMLNode* node, xmlNodePtr parent) {
    if (node->is_content()) {
        add_text(doc, parent, node->content());
        return;
    }
    // A nameless element (an emptied content node) cannot be written as XML.
    if (node->name().empty()) {
        return;
    }
    if (xmlNodePtr el = xmlNewChild(parent, nullptr, xml_str(node->name()), nullptr)) {
        fill_element(doc, el, node);
    }
}

xmlDocPtr doc_from_tree(const XMLNode* root, int compression) {
    if (root->name().empty()) {
        return nullptr;
    }
    xmlDocPtr doc = xmlNewDoc(xml_str("1.0"));
    if (!doc) {
        return nullptr;
    }
    xmlSetDocCompressMode(doc, compression);

    xmlNodePtr el = xmlNewDocNode(doc, nullptr, xml_str(root->name()), nullptr);
    if (!el) {
        xmlFreeDoc(doc);
        return nullptr;
    }
    xmlDocSetRootElement(doc, el);
    if (root->is_content()) {
        // A bare text cannot be a document; keep it as the element's text.
        add_text(doc, el, root->content());
    } else {
        fill_element(doc, el, root);
    }
    return doc;
}

} // namespace

// ---- XMLNode

XMLNode::XMLNode(const std::string& n) : _initialized(!n.empty()), _name(n), _is_content(false) {}

XMLNode::XMLNode(const std::string& n, const std::string& c)
    : _initialized(true), _name(n), _is_content(true), _content(c) {}

XMLNode::XMLNode(const XMLNode& from) : _initialized(false), _name(from._name), _is_content(false) {
    set_content(from._content);
    _initialized = !_name.empty() || _is_content;
    for (const XMLProperty* p : from._proplist) {
        add_property(p->name(), p->value());
    }
    for (const XMLNode* child : from._children) {
        add_child_copy(*child);
    }
}

XMLNode::~XMLNode() {
    for (XMLNode* child : _children) {
        delete child;
    }
    for (XMLProperty* p : _proplist) {
        delete p;
    }
}

const std::string& XMLNode::set_content(const std::string& c) {
    _content = c;
    _is_content = !c.empty();
    return _content;
}

XMLNode* XMLNode::add_content(const std::string& c) {
    return add_child_copy(XMLNode(std::string(), c));
}

const XMLNodeList& XMLNode::children(const std::string& n) const {
    if (n.empty()) {
        return _children;
    }
    // Kept by the node, not by the module or a thread: no two callers refill
    // each other's result, and no thread keeps state that must be freed when
    // it ends.
    _named.clear();
    for (XMLNode* child : _children) {
        if (child->_name == n) {
            _named.push_back(child);
        }
    }
    return _named;
}

XMLNode* XMLNode::add_child(const std::string& n) {
    XMLNode* child = new XMLNode(n);
    _children.push_back(child);
    return child;
}

XMLNode* XMLNode::add_child_copy(const XMLNode& n) {
    XMLNode* copy = new XMLNode(n);
    _children.push_back(copy);
    return copy;
}

void XMLNode::add_child_nocopy(XMLNode& n) { _children.push_back(&n); }

XMLProperty* XMLNode::property(const std::string& n) {
    XMLPropertyMap::iterator i = _propmap.find(n);
    return i == _propmap.end() ? nullptr : i->second;
}

const XMLProperty* XMLNode::property(const std::string& n) const {
    XMLPropertyMap::const_iterator i = _propmap.find(n);
    return i == _propmap.end() ? nullptr : i->second;
}

XMLProperty* XMLNode::add_property(const std::string& n, const std::string& v) {
    remove_property(n);
    XMLProperty* p = new XMLProperty(n, v);
    _propmap[n] = p;
    _proplist.push_back(p);
    return p;
}

void XMLNode::remove_property(const std::string& n) {
    XMLPropertyMap::iterator i = _propmap.find(n);
    if (i == _propmap.end()) {
        return;
    }
    XMLProperty* p = i->second;
    _propmap.erase(i);
    _proplist.remove(p);
    delete p;
}

XMLNode* XMLNode::find_named_node(const std::string& name) const {
    for (XMLNode* child : _children) {
        if (child->_name == name) {
            return child;
        }
    }
    return nullptr;
}

void XMLNode::remove_nodes(const std::string& n) {
    for (XMLNodeIterator i = _children.begin(); i != _children.end();) {
        if ((*i)->_name == n) {
            delete *i;
            i = _children.erase(i);
        } else {
            ++i;
        }
    }
}

// ---- XMLTree

XMLTree::XMLTree() : _root(nullptr), _compression(0), _initialized(false) {}

XMLTree::XMLTree(const std::string& fn) : _filename(fn), _root(nullptr), _compression(0), _initialized(false) {
    read();
}

XMLTree::XMLTree(const XMLTree* from) : _root(nullptr), _compression(0), _initialized(false) {
    if (!from) {
        return;
    }
    _filename = from->_filename;
    _compression = from->_compression;
    if (from->_root) {
        _root = new XMLNode(*from->_root);
        _initialized = true;
    }
}

XMLTree::~XMLTree() { delete _root; }

XMLNode* XMLTree::set_root(XMLNode* n) {
    if (_root != n) {
        delete _root;
    }
    _root = n;
    return n;
}

int XMLTree::set_compression(int c) {
    if (c > 9) {
        c = 9;
    } else if (c < 0) {
        c = 0;
    }
    _compression = c;
    return _compression;
}

namespace {

// Takes over a parsed document (or a failed parse as null) and frees it.
XMLNode* root_from_doc(xmlDocPtr doc) {
    if (!doc) {
        return nullptr;
    }
    XMLNode* root = nullptr;
    if (xmlNodePtr el = xmlDocGetRootElement(doc)) {
        root = node_from_xml(el);
    }
    xmlFreeDoc(doc);
    return root;
}

int gz_read(void* gz, char* buf, int len) { return gzread(static_cast<gzFile>(gz), buf, (unsigned)len); }

int gz_close(void* gz) { return gzclose(static_cast<gzFile>(gz)) == Z_OK ? 0 : -1; }

// Where the serialised document goes: the file, or gzip into it.
struct Sink {
    Kvo::FileSave& file;
    gzFile gz;
};

int sink_write(void* ctx, const char* buf, int len) {
    Sink* s = static_cast<Sink*>(ctx);
    const bool ok = s->gz ? gzwrite(s->gz, buf, (unsigned)len) == len : s->file.write(buf, (size_t)len);
    return ok ? len : -1;
}

// Indented, as libxml2 writes a file itself; compressed above level 0.
bool save_doc(xmlDocPtr doc, Kvo::FileSave& file, int compression) {
    Sink sink{file, nullptr};
    if (compression > 0) {
        const int fd = dup(file.fd());
        const std::string mode = "wb" + std::to_string(compression);
        sink.gz = fd >= 0 ? gzdopen(fd, mode.c_str()) : nullptr;
        if (!sink.gz) {
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
    }
    // The save frees the buffer; what it writes into stays open.
    xmlOutputBufferPtr out = xmlOutputBufferCreateIO(sink_write, nullptr, &sink, nullptr);
    const bool saved = out && xmlSaveFormatFileTo(out, doc, nullptr, 1) != -1;
    const bool closed = !sink.gz || gzclose(sink.gz) == Z_OK;
    return saved && closed;
}

} // namespace

bool XMLTree::read() {
    delete _root;
    _root = nullptr;
    // Through the descriptor that was checked; gzip is read as libxml2 would
    // read it from the name, and anything else passes through unchanged.
    Kvo::RegularFile file(_filename);
    if (file.ok()) {
        const int fd = file.release();
        if (gzFile gz = gzdopen(fd, "rb")) {
            _root = root_from_doc(xmlReadIO(gz_read, gz_close, gz, _filename.c_str(), nullptr, parse_options));
        } else {
            close(fd);
        }
    }
    _initialized = _root != nullptr;
    return _initialized;
}

bool XMLTree::read_buffer(const std::string& buffer) {
    _filename.clear();
    delete _root;
    _root = nullptr;
    if (buffer.size() <= static_cast<std::string::size_type>(INT_MAX)) {
        _root = root_from_doc(
            xmlReadMemory(buffer.data(), static_cast<int>(buffer.size()), nullptr, nullptr, parse_options));
    }
    _initialized = _root != nullptr;
    return _initialized;
}

bool XMLTree::write() const {
    if (!_root) {
        return false;
    }
    xmlDocPtr doc = doc_from_tree(_root, _compression);
    if (!doc) {
        return false;
    }
    Kvo::FileSave file(_filename);
    bool ok = file.ok() && save_doc(doc, file, _compression) && file.commit();
    xmlFreeDoc(doc);
    return ok;
}

const std::string& XMLTree::write_buffer() const {
    std::string& text = _text;
    text.clear();
    if (!_root) {
        return text;
    }
    xmlDocPtr doc = doc_from_tree(_root, _compression);
    if (!doc) {
        return text;
    }
    xmlChar* mem = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc, &mem, &size);
    xmlFreeDoc(doc);
    if (mem) {
        text.assign(reinterpret_cast<const char*>(mem), static_cast<std::string::size_type>(size));
        xmlFree(mem);
    }
    return text;
}
