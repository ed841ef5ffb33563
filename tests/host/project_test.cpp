// Protects the project file: every mistake in it is named in one line, texts and numbers mean the
// same, and what kib-host adds to a file kept by hand leaves every other line as it was. That init
// and discover --import write their additions is shown end to end.

#include "host_fixture.h"
#include "project.h"

using namespace host_test;
using kib_host::Project;

namespace {

TEST(ProjectFile, MistakesAreNamedInOneLine)
{
    struct Row
    {
        const char* text;
        const char* error; // after "<path>: "
    };
    const Row rows[] = {
        {"[]", "the project must be a JSON object"},
        {R"({"devices": {}})", "\"devices\" must be an array"},
        {R"({"devices": [7]})", "devices[0] must be an object"},
        {R"({"devices": [{"id": 0}]})",
         "devices[0] needs an \"id\" that is a whole number from 1 up"},
        {R"({"devices": [{"id": 1}, {"id": 1}]})", "device id 1 appears twice"},
        {R"({"devices": [{"id": 1, "columns": []}]})", "device 1 \"columns\" must be an object"},
        {R"({"devices": [{"id": 1, "columns": {"port": [4450]}}]})",
         "device 1 \"columns\" value \"port\" must be a text or a number"},
        {R"({"devices": [{"id": 1, "items": {}}]})", "device 1 \"items\" must be an array"},
        {R"({"devices": [{"id": 1, "items": [{"name": "x"}]}]})",
         "device 1 items[0] needs a \"uid\""},
        {R"({"devices": [{"id": 1, "items": [{"uid": "a"}]}, {"id": 2, "items": [{"uid": "a"}]}]})",
         "item uid \"a\" appears twice"},
        {R"({"settings": {"x": null}})",
         "the project's \"settings\" value \"x\" must be a text or a number"},
    };
    ProjectDir dir;
    for (const Row& row : rows) {
        dir.write(QByteArray(row.text));
        Project project;
        QString error;
        EXPECT_FALSE(Project::load(dir.path(), &project, &error)) << row.text;
        EXPECT_EQ(error, dir.path() + ": " + row.error) << row.text;
    }
}

TEST(ProjectFile, NumbersAndTextsMeanTheSameAndMissingPartsAreEmpty)
{
    ProjectDir dir;
    dir.write(QByteArray(R"({"settings": {"tcp_ports": 4450},
        "devices": [{"id": 3, "columns": {"port": 1505, "timeout": "2000", "flag": true}},
                    {"id": 4, "items": [{"uid": "v1", "columns": {"address_word": 1.5}}]}]})"));
    Project project;
    QString error;
    ASSERT_TRUE(Project::load(dir.path(), &project, &error)) << error.toStdString();
    EXPECT_EQ(project.settings().value("tcp_ports"), "4450");
    ASSERT_EQ(project.devices().size(), 2);
    EXPECT_EQ(project.devices()[0].columns,
              (kib_host::Columns{{"port", "1505"}, {"timeout", "2000"}, {"flag", "1"}}));
    EXPECT_TRUE(project.devices()[0].items.isEmpty());
    EXPECT_EQ(project.device(4)->items[0].columns.value("address_word"), "1.5");
    EXPECT_EQ(project.device(5), nullptr);
}

// Items added to a device that has a list (one a line, indented alike), to one that has none, and
// a device added: the file keeps its key order, indentation and line breaks; only what is added is
// new. Compared line by line, and the result is read back as the same project.
TEST(ProjectFile, AdditionsLeaveAHandKeptFileAsItWas)
{
    const QByteArray before = R"({
  "comment": "hall 2",
  "devices": [
    {
      "name": "press-1", "id": 1,
      "items": [
        { "uid": "a", "columns": { "address_word": "100" } }
      ]
    },
    {"id": 2, "name": "press-2"}
  ]
}
)";
    ProjectDir dir;
    dir.write(before);
    Project project;
    QString error;
    ASSERT_TRUE(Project::load(dir.path(), &project, &error)) << error.toStdString();
    const kib_host::ProjectItem serial{"s", "Serial", "", {{"address_word", "__identity.serial"}}};
    project.addItems(1, {serial, {"b\"", "B", "", {}}});
    project.addItems(2, {{"s2", "Serial", "", {{"address_word", "__identity.serial"}}}});
    kib_host::ProjectDevice added;
    added.name = "press-3";
    added.address = "10.0.0.3";
    EXPECT_EQ(project.addDevice(added), 3);
    ASSERT_TRUE(project.save(&error)) << error.toStdString();

    const QByteArray after = R"({
  "comment": "hall 2",
  "devices": [
    {
      "name": "press-1", "id": 1,
      "items": [
        { "uid": "a", "columns": { "address_word": "100" } },
        {"uid": "s", "name": "Serial", "columns": {"address_word": "__identity.serial"}},
        {"uid": "b\"", "name": "B", "columns": {}}
      ]
    },
    {"id": 2, "name": "press-2", "items": [{"uid": "s2", "name": "Serial", "columns": {"address_word": "__identity.serial"}}]},
    {"id": 3, "name": "press-3", "address": "10.0.0.3", "columns": {}, "items": []}
  ]
}
)";
    QFile file(dir.path());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().split('\n'), after.split('\n'));
    Project reread;
    ASSERT_TRUE(Project::load(dir.path(), &reread, &error)) << error.toStdString();
    ASSERT_EQ(reread.devices().size(), 3);
    EXPECT_EQ(reread.devices()[0].items.size(), 3);
    EXPECT_EQ(reread.devices()[1].items.size(), 1);
}

} // namespace
