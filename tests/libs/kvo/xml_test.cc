#include <kvo/xml++.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "file_fixture.h"

namespace {

std::string temp_path(const char* stem) { return testing::TempDir() + std::to_string(getpid()) + "_" + stem; }

} // namespace

TEST(XMLTree, SpecialCharactersSurviveTextAndFileRoundTrips) {
    const std::string nasty = "a & b < c > d \" e ' f";
    XMLTree tree;
    XMLNode* root = tree.set_root(new XMLNode("QMSession"));
    root->add_property("name", nasty);
    root->add_child("Note")->add_content(nasty);

    const std::string text = tree.write_buffer();
    EXPECT_EQ(text.find('\n', text.find("<QMSession")), text.size() - 1) << "buffer text is not indented";
    const std::string path = temp_path("xml_roundtrip.xml");
    ASSERT_TRUE(tree.write(path));
    EXPECT_NE(qmtest::bytes_of(path).find("\n  <Note>"), std::string::npos) << "file text is indented";

    XMLTree from_text, from_file(path);
    ASSERT_TRUE(from_text.read_buffer(text));
    for (XMLTree* t : {&from_text, &from_file}) {
        ASSERT_TRUE(t->initialized());
        EXPECT_EQ(t->root()->property("name")->value(), nasty);
        const XMLNodeList& note = t->root()->find_named_node("Note")->children();
        ASSERT_EQ(note.size(), 1u);
        EXPECT_EQ(note.front()->name(), "text");
        EXPECT_EQ(note.front()->content(), nasty);
    }
    std::remove(path.c_str());
}

TEST(XMLTree, CompressedFileIsGzipAndReadsBack) {
    XMLTree tree;
    XMLNode* root = tree.set_root(new XMLNode("Looper"));
    for (int i = 0; i < 50; ++i) {
        root->add_child("Control")->add_property("value", std::to_string(i));
    }
    EXPECT_EQ(tree.set_compression(-1), 0);
    EXPECT_EQ(tree.set_compression(12), 9);
    const std::string path = temp_path("xml_compressed.xml");
    ASSERT_TRUE(tree.write(path));
    EXPECT_EQ(qmtest::bytes_of(path).substr(0, 2), "\x1f\x8b");

    XMLTree back;
    ASSERT_TRUE(back.read(path));
    EXPECT_EQ(back.root()->children("Control").back()->property("value")->value(), "49");
    std::remove(path.c_str());
}

TEST(XMLTree, FailedWriteLeavesTheOldFileWhole) {
    const std::string path = temp_path("xml_kept.xml");
    XMLTree first;
    first.set_root(new XMLNode("QMSession"))->add_property("version", "1");
    ASSERT_TRUE(first.write(path));
    const std::string before = qmtest::bytes_of(path);

    // No room for the new text: the write itself fails.
    XMLTree second;
    second.set_root(new XMLNode("QMSession"))->add_property("version", "2");
    bool saved;
    {
        qmtest::FileSizeLimit limit(8);
        saved = second.write(path);
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(qmtest::bytes_of(path), before);

    EXPECT_TRUE(second.write(path));
    XMLTree back;
    ASSERT_TRUE(back.read(path));
    EXPECT_EQ(back.root()->property("version")->value(), "2");
    std::remove(path.c_str());
}

TEST(XMLTree, MissingOrMalformedInputFailsAndDropsTheOldRoot) {
    XMLTree tree;
    ASSERT_TRUE(tree.read_buffer("<ok/>"));
    EXPECT_FALSE(tree.read(temp_path("xml_no_such_file.xml")));
    EXPECT_EQ(tree.root(), nullptr);
    ASSERT_TRUE(tree.read_buffer("<ok/>"));
    EXPECT_FALSE(tree.read_buffer("<open><unclosed></open>"));
    EXPECT_FALSE(tree.initialized());
    EXPECT_EQ(tree.root(), nullptr);

    const std::string path = temp_path("xml_malformed.xml");
    std::ofstream(path) << "<a b=\"1></a>";
    EXPECT_EQ(XMLTree(path).root(), nullptr);
    std::remove(path.c_str());
    EXPECT_FALSE(XMLTree().write(path)) << "a tree without a root writes nothing";
    EXPECT_FALSE(std::ifstream(path).good());
}

TEST(XMLTree, CopiesAreDeepAndOwnershipIsSingle) {
    XMLTree tree;
    XMLNode* root = tree.set_root(new XMLNode("QMSession"));
    root->add_child("Globals")->add_property("tempo", "110");
    XMLTree copy(&tree);
    XMLNode node_copy(*root);
    XMLNode parent("p");
    XMLNode* appended = parent.add_child_copy(*root);
    EXPECT_TRUE(copy.initialized());
    root->find_named_node("Globals")->add_property("tempo", "90");
    tree.set_root(new XMLNode("Other")); // frees the first root
    for (const XMLNode* n : std::vector<const XMLNode*>{copy.root(), &node_copy, appended}) {
        EXPECT_EQ(n->find_named_node("Globals")->property("tempo")->value(), "110");
    }

    XMLTree nothing;
    XMLTree copy_of_nothing(&nothing);
    EXPECT_EQ(copy_of_nothing.root(), nullptr);
    EXPECT_FALSE(copy_of_nothing.initialized());
}

TEST(XMLNode, ReaddedAttributeMovesToTheEndOfTheWrittenOrder) {
    XMLTree tree;
    XMLNode* n = tree.set_root(new XMLNode("Looper"));
    n->add_property("index", "0");
    n->add_property("loop_secs", "40");
    n->add_property("index", "1");
    EXPECT_EQ(n->properties().size(), 2u);
    EXPECT_EQ(n->property("index")->value(), "1");
    const std::string text = tree.write_buffer();
    EXPECT_LT(text.find("loop_secs="), text.find("index=\"1\""));
}

TEST(XMLNode, NamedChildListsAndDirectChildLookup) {
    XMLTree tree;
    // Indented: the blanks between elements must not become children.
    ASSERT_TRUE(tree.read_buffer("<P>\n  <Output x=\"0\"/>\n  <StreamPanner/>\n  <Output x=\"1\"/>\n"
                                 "  <Deep><Target/></Deep>\n</P>\n"));
    XMLNode* p = tree.root();
    const XMLNodeList outputs = p->children("Output");
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs.back()->property("x")->value(), "1");
    const XMLNodeList& kept = p->children("StreamPanner");
    p->children("Nothing");
    EXPECT_TRUE(kept.empty()) << "the next named call refills the list";

    EXPECT_EQ(p->find_named_node("Target"), nullptr);
    EXPECT_EQ(p->find_named_node("Output"), outputs.front());
    p->remove_nodes("Output");
    EXPECT_EQ(p->children().size(), 2u) << "StreamPanner and Deep, no blank text";
}

TEST(XMLTree, CommentsAndEmptyNodesAreNotReadAsData) {
    XMLTree tree;
    ASSERT_TRUE(tree.read_buffer("<Looper><!-- note --><![CDATA[]]><?pi?><Control/>x</Looper>"));
    const XMLNodeList& kids = tree.root()->children();
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids.front()->name(), "Control");
    EXPECT_EQ(kids.back()->content(), "x");

    XMLTree back;
    ASSERT_TRUE(back.read_buffer(tree.write_buffer()));
    EXPECT_EQ(back.root()->children().size(), 2u);
}

TEST(XMLTree, EmptiedContentNodeStillWritesReadableText) {
    XMLTree tree;
    XMLNode* root = tree.set_root(new XMLNode("QMSession"));
    root->add_content();
    root->add_child("Globals")->add_content("")->set_content("");
    root->add_child("Looper");
    XMLTree back;
    ASSERT_TRUE(back.read_buffer(tree.write_buffer())) << tree.write_buffer();
    EXPECT_NE(back.root()->find_named_node("Looper"), nullptr);

    XMLTree nameless;
    nameless.set_root(new XMLNode(""));
    EXPECT_EQ(nameless.write_buffer(), "");
}
