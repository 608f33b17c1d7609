#pragma once
// A small XML document tree. libxml2 only parses into and serialises out of
// its own documents; the program works on XMLNode trees alone.

#include <list>
#include <map>
#include <string>

class XMLNode;
class XMLProperty;

typedef std::list<XMLNode*> XMLNodeList;
typedef XMLNodeList::iterator XMLNodeIterator;
typedef XMLNodeList::const_iterator XMLNodeConstIterator;
typedef std::list<XMLProperty*> XMLPropertyList;
typedef XMLPropertyList::iterator XMLPropertyIterator;
typedef std::map<std::string, XMLProperty*> XMLPropertyMap;

class XMLProperty {
  public:
    XMLProperty(const std::string& n, const std::string& v) : _name(n), _value(v) {}

    const std::string& name() const { return _name; }
    const std::string& value() const { return _value; }

  private:
    std::string _name;
    std::string _value;
};

class XMLNode {
  public:
    explicit XMLNode(const std::string& n);
    XMLNode(const std::string& n, const std::string& c);
    // Deep copy: children and attributes are duplicated, never shared.
    XMLNode(const XMLNode& from);
    XMLNode& operator=(const XMLNode&) = delete;
    virtual ~XMLNode();

    std::string name() const { return _name; }

    bool is_content() const { return _is_content; }
    const std::string& content() const { return _content; }
    const std::string& set_content(const std::string& c);
    XMLNode* add_content(const std::string& c = std::string());

    // An empty name gives this node's own list. A name gives the direct
    // children of that name in a list this node keeps: its next named call
    // refills it, so copy it before making another.
    const XMLNodeList& children(const std::string& n = std::string()) const;
    XMLNode* add_child(const std::string& n);
    XMLNode* add_child_copy(const XMLNode& n);
    // Takes ownership: n must be a heap node that nobody else deletes.
    void add_child_nocopy(XMLNode& n);

    const XMLPropertyList& properties() const { return _proplist; }
    XMLProperty* property(const std::string& n);
    const XMLProperty* property(const std::string& n) const;
    XMLProperty* add_property(const std::string& n, const std::string& v);
    void remove_property(const std::string& n);

    // Direct children only; deeper descendants are never searched.
    XMLNode* find_named_node(const std::string& name) const;
    void remove_nodes(const std::string& n);

  private:
    bool _initialized;
    std::string _name;
    bool _is_content;
    std::string _content;
    XMLNodeList _children;
    XMLPropertyList _proplist;
    XMLPropertyMap _propmap;
    mutable XMLNodeList _named;  // the last named children() result
};

class XMLTree {
  public:
    XMLTree();
    explicit XMLTree(const std::string& fn);
    // Deep copy of another tree (a null tree or one without a root gives an
    // empty tree).
    explicit XMLTree(const XMLTree* from);
    XMLTree(const XMLTree&) = delete;
    XMLTree& operator=(const XMLTree&) = delete;
    virtual ~XMLTree();

    bool initialized() const { return _initialized; }
    XMLNode* root() const { return _root; }
    // The tree takes ownership of n; a different root it held is deleted.
    XMLNode* set_root(XMLNode* n);

    const std::string& filename() const { return _filename; }
    const std::string& set_filename(const std::string& fn) {
        _filename = fn;
        return _filename;
    }

    int compression() const { return _compression; }
    int set_compression(int c);

    bool read();
    bool read(const std::string& fn) {
        set_filename(fn);
        return read();
    }
    bool read_buffer(const std::string& buffer);

    // A tree without a root, or with a nameless one, writes nothing: write()
    // fails and write_buffer() gives an empty text. Nameless elements below
    // the root are left out.
    bool write() const;
    bool write(const std::string& fn) {
        set_filename(fn);
        return write();
    }
    // The text lives in a string the tree keeps until its next call.
    const std::string& write_buffer() const;

  private:
    std::string _filename;
    XMLNode* _root;
    int _compression;
    bool _initialized;
    mutable std::string _text;  // the last write_buffer() result
};
