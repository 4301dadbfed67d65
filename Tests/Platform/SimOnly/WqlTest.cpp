// The simulated machine's WQL: which queries it takes and how their conditions match.
#include "Machine/Wmi/Cim.h"
#include "Machine/Wmi/Wql.h"
#include "Support/Narrow.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using sim::CimInstance;
using sim::CimRepository;
using sim::CimValue;
using test::Narrow;
namespace wql = sim::wql;

// The service's own queries go through the machine's WMI in WmiTest; here the grammar's corners.
TEST(Wql, ParsesTheFormsItAnswersAndRejectsTheRest) {
    const std::u16string braced = uR"(A.K="}\"")";  // a brace and a quote inside a key value
    // kind, class, WITHIN, object path, result class, then the classes ISA names
    const std::pair<std::u16string, std::string> accepted[] = {
        {u"SELECT * FROM Qubra_NetService", "select Qubra_NetService 0.000000  "},
        {u"select*from E within 0.5 where NOT(a.b ISA \"X\")", "select E 0.500000   X"},
        {u"associators of{ " + braced + u" }where resultclass = B",
         "associators  0.000000 " + Narrow(braced) + " B"},
    };
    for (const auto& [text, expected] : accepted) {
        SCOPED_TRACE(Narrow(text));
        wql::Query q;
        std::string error;
        ASSERT_TRUE(wql::Parse(text, q, &error)) << error;
        std::string parts = (q.kind == wql::Query::Kind::Select ? "select " : "associators ") +
                            Narrow(q.className) + " " + std::to_string(q.within) + " " +
                            Narrow(q.objectPath) + " " + Narrow(q.resultClass);
        for (const std::u16string& isa :
             q.where ? wql::IsaClasses(*q.where) : std::vector<std::u16string>()) {
            parts += " " + Narrow(isa);
        }
        EXPECT_EQ(expected, parts);
    }

    // Limits a user of the machine meets; that every rejection has a reason, the fuzz target holds.
    const std::u16string rejected[] = {
        u"SELECT a,b FROM X",
        u"SELECT * FROM X WITHIN 0",
        u"SELECT * FROM X WHERE A = 1.5",
        u"SELECT * FROM X WHERE A ISA B",
        u"ASSOCIATORS OF {A.K=\"x\"} WHERE AssocClass = B",
    };
    for (const std::u16string& text : rejected) {
        SCOPED_TRACE(Narrow(text));
        wql::Query query;
        query.className = u"untouched";
        std::string error;
        EXPECT_FALSE(wql::Parse(text, query, &error));
        EXPECT_EQ(query.className, u"untouched");
    }
}

// Matches against one instance; ISA asks about the instance itself as TargetInstance.
class InstanceSubject : public wql::Subject {
public:
    InstanceSubject(const CimRepository& repository, const CimInstance& instance)
        : m_repository(repository), m_instance(instance) {}
    const CimValue* Property(const std::u16string& name) const override {
        return m_instance.Find(name);
    }
    bool IsA(const std::u16string& property, const std::u16string& className) const override {
        return sim::CimNamesEqual(property, u"TargetInstance") &&
               m_repository.IsA(m_instance.ClassName(), className);
    }

private:
    const CimRepository& m_repository;
    const CimInstance& m_instance;
};

TEST(Wql, MatchesByWqlRules) {
    CimRepository repository(u"HOST", u"root\\virtualization\\v2");
    repository.AddClass(u"Device");
    repository.AddClass(u"Port", u"Device");
    repository.AddClass(u"ExternalPort", u"port");
    CimInstance port(u"ExternalPort", {u"Name"});
    port.Set(u"IsBound", CimValue::Bool(true))
        .Set(u"LinkTechnology", CimValue::Int(2, CIM_UINT16))
        .Set(u"Name", CimValue::Str(u"Ext Port"))
        .Set(u"Path", CimValue::Str(u"C:\\x's"))
        .Set(u"Nothing", CimValue::Null());
    InstanceSubject subject(repository, port);

    const std::pair<std::u16string, bool> cases[] = {
        {u"IsBound=true AND LinkTechnology=2", true},
        {u"isbound = 1", true},
        {u"IsBound = FALSE", false},
        {u"IsBound = 2", false},
        {u"Nothing = NULL", false},
        {u"Name != \"Ext Port\"", false},
        {u"LinkTechnology = -2", false},
        {u"Name = 'ext PORT'", true},
        {u"Path = 'c:\\\\X\\'S'", true},
        {u"IsBound = TRUE OR LinkTechnology = 3 AND Name = 'x'", true},
        {u"NOT LinkTechnology = 3 AND Name = 'x'", false},
        {u"NOT (LinkTechnology = 3 OR Name = 'x')", true},
        {u"Missing = 1", false},
        {u"NOT Missing = 1", true},
        {u"Name <> NULL", false},
        {u"LinkTechnology = '2'", false},
        {u"TargetInstance ISA 'device'", true},
        {u"TargetInstance ISA 'Endpoint'", false},
    };
    for (const auto& [where, matches] : cases) {
        SCOPED_TRACE(Narrow(where));
        wql::Query query;
        ASSERT_TRUE(wql::Parse(u"SELECT * FROM ExternalPort WHERE " + where, query));
        EXPECT_EQ(wql::Matches(*query.where, subject), matches);
    }
}

}  // namespace
