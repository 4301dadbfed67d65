// The simulated machine's WMI: the WQL the service sends, how conditions match, and the CIM
// repository's paths and associations.
#include "Machine/Cim.h"
#include "Machine/Wql.h"
#include "Support/Narrow.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using sim::CimInstance;
using sim::CimRepository;
using sim::CimValue;
using test::Narrow;
namespace wql = sim::wql;

const char16_t kPortPath[] =
    u"\\\\HOST\\root\\virtualization\\v2:Msvm_ExternalEthernetPort.CreationClassName=\"Msvm_ExternalEthernetPort\",DeviceID=\"Microsoft:{GUID}\",SystemCreationClassName=\"Msvm_ComputerSystem\",SystemName=\"HOST\"";

TEST(Wql, ParsesTheFormsItAnswersAndRejectsTheRest) {
    struct Accepted {
        std::u16string text;
        wql::Query::Kind kind;
        std::u16string className;
        double within;
        std::u16string objectPath;
        std::u16string resultClass;
        std::vector<std::u16string> isa = {};
    };
    const std::u16string ports =
        u"SELECT * FROM Msvm_ExternalEthernetPort WHERE  IsBound=true AND LinkTechnology=2";
    const std::u16string associators =
        u"ASSOCIATORS OF {" + std::u16string(kPortPath) + u"} WHERE  ResultClass=Msvm_LANEndpoint";
    const std::u16string events =
        u"SELECT * FROM __InstanceOperationEvent WITHIN 10 WHERE (TargetInstance ISA 'Msvm_ExternalEthernetPort') OR (TargetInstance ISA 'Msvm_VLANEndpoint') OR (TargetInstance ISA 'Msvm_SyntheticEthernetPort') OR (TargetInstance ISA 'Msvm_ComputerSystem') OR (TargetInstance ISA 'Msvm_EthernetSwitchPortVlanSettingData')";
    const std::vector<std::u16string> eventClasses = {
        u"Msvm_ExternalEthernetPort", u"Msvm_VLANEndpoint", u"Msvm_SyntheticEthernetPort",
        u"Msvm_ComputerSystem", u"Msvm_EthernetSwitchPortVlanSettingData"};
    const std::u16string braced = uR"(A.K="}\"")";  // a brace and a quote inside a key value
    const auto kSelect = wql::Query::Kind::Select;
    const auto kAssoc = wql::Query::Kind::Associators;
    const Accepted accepted[] = {
        {ports, kSelect, u"Msvm_ExternalEthernetPort", 0, u"", u""},
        {associators, kAssoc, u"", 0, kPortPath, u"Msvm_LANEndpoint"},
        {events, kSelect, u"__InstanceOperationEvent", 10, u"", u"", eventClasses},
        {u"SELECT * FROM Qubra_NetService", kSelect, u"Qubra_NetService", 0, u"", u""},
        {u"select*from E within 0.5 where NOT(a.b ISA \"X\")", kSelect, u"E", .5, u"", u"", {u"X"}},
        {u"associators of{ " + braced + u" }where resultclass = B", kAssoc, u"", 0, braced, u"B"},
    };
    for (const Accepted& want : accepted) {
        SCOPED_TRACE(Narrow(want.text));
        wql::Query query;
        std::string error;
        ASSERT_TRUE(wql::Parse(want.text, query, &error)) << error;
        EXPECT_EQ(query.kind, want.kind);
        EXPECT_EQ(query.className, want.className);
        EXPECT_EQ(query.within, want.within);
        EXPECT_EQ(query.objectPath, want.objectPath);
        EXPECT_EQ(query.resultClass, want.resultClass);
        EXPECT_EQ(query.where ? wql::IsaClasses(*query.where) : std::vector<std::u16string>{},
                  want.isa);
    }

    const std::u16string rejected[] = {
        u"",
        u"SELECT a,b FROM X",
        u"SELECT * X",
        u"SELECT * FROM",
        u"SELECT * FROM X garbage",
        u"SELECT * FROM X WITHIN 0",
        u"SELECT * FROM X WITHIN -5",
        u"SELECT * FROM X WHERE",
        u"SELECT * FROM X WHERE (A = 1",
        u"SELECT * FROM X WHERE A = 1)",
        u"SELECT * FROM X WHERE A = 'open",
        u"SELECT * FROM X WHERE A == 1",
        u"SELECT * FROM X WHERE A = 1.5",
        u"SELECT * FROM X WHERE A = 99999999999999999999",
        u"SELECT * FROM X WHERE A ISA B",
        u"SELECT * FROM X WHERE A. = 1",
        u"SELECT * FROM X WHERE A = 1 # ",
        u"SELECT * FROM X WHERE " + std::u16string(200, u'(') + u"A = 1" +
            std::u16string(200, u')'),
        u"ASSOCIATORS OF {A.K=\"x\"} WHERE AssocClass = B",
        u"ASSOCIATORS OF {A.K=\"x}\"",
        u"ASSOCIATORS OF {  }",
        u"ASSOCIATORS {A.K=1}",
    };
    for (const std::u16string& text : rejected) {
        SCOPED_TRACE(Narrow(text));
        wql::Query query;
        query.className = u"untouched";
        std::string error;
        EXPECT_FALSE(wql::Parse(text, query, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(query.className, u"untouched");
    }
}

class RepositoryFixture {
public:
    RepositoryFixture() : repository(u"HOST", u"root\\virtualization\\v2") {
        repository.AddClass(u"Device");
        repository.AddClass(u"Port", u"Device");
        repository.AddClass(u"ExternalPort", u"port");
        repository.AddClass(u"Endpoint");
        repository.AddClass(u"LanEndpoint", u"Endpoint");
    }

    CimRepository repository;
};

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
    RepositoryFixture fixture;
    CimInstance port(u"ExternalPort", {u"Name"});
    port.Set(u"IsBound", CimValue::Bool(true))
        .Set(u"LinkTechnology", CimValue::Int(2, CIM_UINT16))
        .Set(u"Name", CimValue::Str(u"Ext Port"))
        .Set(u"Path", CimValue::Str(u"C:\\x's"))
        .Set(u"Nothing", CimValue::Null());
    InstanceSubject subject(fixture.repository, port);

    const struct {
        std::u16string where;
        bool matches;
    } cases[] = {
        {u"IsBound=true AND LinkTechnology=2", true},
        {u"isbound = 1", true},
        {u"IsBound = 0", false},
        {u"IsBound = 2", false},
        {u"IsBound <> 0", true},
        {u"IsBound = FALSE", false},
        {u"LinkTechnology = -2", false},
        {u"Name = 'ext PORT'", true},
        {u"Name != \"Ext Port\"", false},
        {u"Name <> 'other'", true},
        {u"Path = 'c:\\\\X\\'S'", true},
        {u"LinkTechnology = 3 AND Name = 'x' OR IsBound = TRUE", true},
        {u"IsBound = TRUE OR LinkTechnology = 3 AND Name = 'x'", true},
        {u"NOT LinkTechnology = 3 AND Name = 'x'", false},
        {u"NOT (LinkTechnology = 3 OR Name = 'x')", true},
        {u"Missing = 1", false},
        {u"Missing <> 1", false},
        {u"NOT Missing = 1", true},
        {u"Nothing = NULL", false},
        {u"Nothing <> NULL", false},
        {u"Name <> NULL", false},
        {u"LinkTechnology = '2'", false},
        {u"LinkTechnology <> '2'", false},
        {u"TargetInstance ISA 'device'", true},
        {u"TargetInstance ISA 'Endpoint'", false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(Narrow(test.where));
        wql::Query query;
        ASSERT_TRUE(wql::Parse(u"SELECT * FROM ExternalPort WHERE " + test.where, query));
        EXPECT_EQ(wql::Matches(*query.where, subject), test.matches);
    }
}

TEST(CimRepository, PathsLookupsAndAssociations) {
    RepositoryFixture fixture;
    CimRepository& repository = fixture.repository;
    EXPECT_THROW(repository.AddClass(u"Orphan", u"Undeclared"), std::logic_error);

    CimInstance port(u"externalport", {u"CreationClassName", u"Name"});
    port.Set(u"CreationClassName", CimValue::Str(u"ExternalPort"))
        .Set(u"Name", CimValue::Str(u"A\"B\\C"))
        .Set(u"Speed", CimValue::Int(10));
    const std::u16string portPath = repository.AddInstance(port);
    EXPECT_EQ(
        portPath,
        u"\\\\HOST\\root\\virtualization\\v2:ExternalPort.CreationClassName=\"ExternalPort\",Name=\"A\\\"B\\\\C\"");
    CimInstance slot(u"Endpoint", {u"Id", u"On"});
    slot.Set(u"Id", CimValue::Int(-3)).Set(u"On", CimValue::Bool(true));
    const std::u16string slotPath = repository.AddInstance(slot);
    EXPECT_EQ(slot.RelPath(), u"Endpoint.Id=-3,On=TRUE");
    CimInstance lan(u"LanEndpoint", {u"Id"});
    const std::u16string lanPath = repository.AddInstance(lan.Set(u"Id", CimValue::Str(u"L")));
    CimInstance device(u"Device", {u"Id"});
    const std::u16string devicePath = repository.AddInstance(device.Set(u"Id", CimValue::Int(1)));

    const CimInstance* found = repository.Find(
        u"\\\\host\\ROOT\\Virtualization\\V2:EXTERNALPORT.creationclassname=\"externalport\",name=\"a\\\"b\\\\c\"");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->ClassName(), u"ExternalPort");
    EXPECT_EQ(repository.Find(u"endpoint.ID=-3,on=true"), repository.Find(slotPath));
    EXPECT_EQ(repository.Find(u"\\\\HOST\\root\\cimv2:Endpoint.Id=-3,On=TRUE"), nullptr);

    EXPECT_TRUE(repository.IsA(u"EXTERNALPORT", u"device"));
    EXPECT_FALSE(repository.IsA(u"Device", u"ExternalPort"));
    EXPECT_FALSE(repository.IsA(u"LanEndpoint", u"Device"));
    EXPECT_EQ(repository.InstancesOf(u"Device").size(), 2u);

    repository.Associate(portPath, lanPath);
    repository.Associate(portPath, slotPath);
    repository.Associate(portPath, devicePath);
    repository.Associate(lanPath, portPath);
    using Found = std::vector<const CimInstance*>;
    const CimInstance* lanFound = repository.Find(lanPath);
    const CimInstance* slotFound = repository.Find(slotPath);
    EXPECT_EQ(repository.AssociatorsOf(portPath, u"endpoint"), (Found{lanFound, slotFound}));
    EXPECT_EQ(repository.AssociatorsOf(portPath, u"LanEndpoint"), (Found{lanFound}));
    EXPECT_EQ(repository.AssociatorsOf(portPath, u"").size(), 3u);
    EXPECT_EQ(repository.AssociatorsOf(lanPath, u""), (Found{repository.Find(portPath)}));

    // A provider refreshing an instance keeps where it stands and what it is associated with.
    port.Set(u"Speed", CimValue::Int(100));
    EXPECT_EQ(repository.AddInstance(port), portPath);
    EXPECT_EQ(repository.Instances().size(), 4u);
    ASSERT_NE(nullptr, repository.Find(portPath));
    const CimValue* speed = repository.Find(portPath)->Find(u"speed");
    ASSERT_NE(nullptr, speed);
    EXPECT_EQ(*speed, CimValue::Int(100));
    EXPECT_EQ(repository.AssociatorsOf(lanPath, u"Port"), (Found{repository.Find(portPath)}));
    EXPECT_NE(CimValue::Int(100), CimValue::Int(100, CIM_UINT16));
}

}  // namespace
