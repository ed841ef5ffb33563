// Protects the project file: every mistake in it is named in one line, and texts and numbers mean
// the same. That what kib-host writes back keeps the rest of the file as the user wrote it is shown
// by init and by discover --import, end to end.

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

} // namespace
