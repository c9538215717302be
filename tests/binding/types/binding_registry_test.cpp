#include "binding/types/binding_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "binding/types/type_binding.h"
#include "binding/types/type_identity.h"

// Probe<85939> and Probe<334806> have signature texts of one FNV-1a hash, 0x30B64854 (found by
// a search over N), so they are two native types the registry cannot tell apart by hash.
namespace CollisionTestTypes {

using Oxle::Client::Binding::TypeDescriber;

template <uint32_t N>
struct Probe {
  int32_t value = 0;
};

template <uint32_t N>
void DescribeBinding(TypeDescriber<Probe<N>>& type) {
  type.Name(N == 85939 ? "FirstProbe" : "SecondProbe").Field("value", &Probe<N>::value);
}

}  // namespace CollisionTestTypes

namespace Oxle::Client::Binding {
namespace {

// Two names of one FNV-1a hash, 0x694D5E74, found by a search over such names.
constexpr const char* kCollidingName = "Typewumzf";
constexpr const char* kOtherCollidingName = "Typemplpp";

template <typename F>
std::string LogicErrorOf(F&& call) {
  try {
    call();
  } catch (const std::logic_error& error) {
    return error.what();
  }
  return "no exception";
}

struct Sample {
  int32_t a = 0;
};
enum class Colour : int32_t { Red = 1 };

TEST(TypeIdentityTest, FixedHashesAreNamedInHex) {
  EXPECT_STREQ(TypeIdOf<BindingProperty>().Name(), "#AF98C378");
  EXPECT_STREQ(TypeId(0x0A500213u).Name(), "#0A500213");
}

TEST(TypeIdentityTest, OtherTypesAreNamedBySignatureAndHashedFromIt) {
  const TypeId& sample = TypeIdOf<Sample>();
  EXPECT_EQ(&sample, &TypeIdOf<Sample>()) << "one record per type";
  EXPECT_NE(std::string(sample.Name()).find("Sample"), std::string::npos);
  EXPECT_EQ(sample.Hash(), Fnv1a(StaticType::Name<Sample>()));
  EXPECT_NE(sample.Hash(), TypeIdOf<Colour>().Hash());
  EXPECT_NE(sample.Hash(), TypeIdOf<std::vector<Sample>>().Hash());
}

TEST(BindingRegistryTest, FirstRegistrationOfANameWins) {
  BindingRegistry registry;
  TypeBuilder first = registry.BeginType(sizeof(Sample), "X", TypeIdOf<Sample>(), false);
  EXPECT_FALSE(first.AlreadyRegistered());
  first.AddField("a", "first", 0, TypeIdOf<int32_t>(), {BindingCode::Int32}, {}, 0, nullptr, false)
      .SetDescription("the first")
      .AddTag("t1");
  TypeBuilder second = registry.BeginType(8, "X", TypeIdOf<Colour>(), true);
  EXPECT_TRUE(second.AlreadyRegistered());
  second.AddField("b", "", 4, TypeIdOf<int32_t>(), {BindingCode::Int32}, {}, 0, nullptr, false)
      .SetDescription("the second")
      .AddTag("t2");
  const TypeRecord* record = registry.FindTypeByName("X");
  ASSERT_EQ(record, first.Record());
  ASSERT_EQ(record->fields.size(), 1u);
  EXPECT_EQ(record->fields[0].nameHash, Fnv1a("a"));
  EXPECT_EQ(record->description + record->tags.at(0) + (record->isEnum ? "enum" : ""),
            "the firstt1");
  EXPECT_EQ(registry.FindTypeByHash(TypeIdOf<Sample>()), record);
  EXPECT_EQ(registry.FindTypeByHash(TypeIdOf<Colour>()), nullptr);
}

TEST(BindingRegistryTest, ReservedHashIsFoundByNameOnly) {
  BindingRegistry registry;
  const TypeId reserved(0x1BE7EF8Eu);
  const TypeId otherReserved(0x1BE7EF8Eu, "another type");
  (void)registry.BeginType(4, "Reserved", reserved, false);
  // Nothing is indexed under the reserved hash, so two types sharing it do not collide.
  EXPECT_EQ(LogicErrorOf([&] { (void)registry.BeginType(4, "Other", otherReserved, false); }),
            "no exception");
  EXPECT_NE(registry.FindTypeByName("Reserved"), nullptr);
  EXPECT_NE(registry.FindTypeByName("Other"), nullptr);
  EXPECT_EQ(registry.FindTypeByHash(reserved), nullptr);
}

TEST(BindingRegistryTest, ATypeWhoseHashAnotherTypeHoldsIsRefused) {
  ASSERT_EQ(Fnv1a(kCollidingName), 0x694D5E74u);
  ASSERT_EQ(Fnv1a(kOtherCollidingName), 0x694D5E74u);
  const TypeId first(0x694D5E74u, kCollidingName);
  const TypeId second(0x694D5E74u, kOtherCollidingName);
  BindingRegistry registry;
  const TypeRecord* record = registry.BeginType(4, "First", first, false).Record();
  EXPECT_EQ(LogicErrorOf([&] { (void)registry.BeginType(8, "Second", second, false); }),
            "Couldn't register type 'Second' because its type hash 0x694D5E74 already belongs to "
            "type 'First', a different native type.");
  EXPECT_EQ(registry.FindTypeByName("Second"), nullptr) << "nothing is left half-registered";
  // Under the first type's own name the builder would hand out the first type's record.
  EXPECT_EQ(LogicErrorOf([&] { (void)registry.BeginType(8, "First", second, false); }),
            "Couldn't register type 'First' because its type hash 0x694D5E74 already belongs to "
            "type 'First', a different native type.");
  EXPECT_EQ(registry.FindTypeByHash(0x694D5E74u), record);
  EXPECT_EQ(registry.CopyTypes().size(), 1u);

  // The same type (a record of the same hash and name) under a second name is no collision.
  const TypeId sameAsFirst(0x694D5E74u, kCollidingName);
  TypeBuilder alias = registry.BeginType(4, "Alias", sameAsFirst, false);
  EXPECT_FALSE(alias.AlreadyRegistered());
  EXPECT_EQ(registry.FindTypeByName("Alias"), alias.Record());
  EXPECT_EQ(registry.FindTypeByHash(0x694D5E74u), record) << "the first type keeps the hash";
}

TEST(RegisterTypeTest, ANativeTypeHashingLikeARegisteredOneIsRefusedItsRecord) {
  using First = CollisionTestTypes::Probe<85939>;
  using Second = CollisionTestTypes::Probe<334806>;
  ASSERT_EQ(TypeIdOf<First>().Hash(), 0x30B64854u) << TypeIdOf<First>().Name();
  ASSERT_EQ(TypeIdOf<Second>().Hash(), 0x30B64854u) << TypeIdOf<Second>().Name();
  BindingRegistry registry;
  const TypeRecord* first = RegisterType<First>(registry);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->name, "FirstProbe");
  EXPECT_EQ(RegisterType<First>(registry), first) << "a registered type is found again";
  EXPECT_EQ(LogicErrorOf([&] { (void)RegisterType<Second>(registry); }),
            "Couldn't register type 'SecondProbe' because its type hash 0x30B64854 already "
            "belongs to type 'FirstProbe', a different native type.");
  EXPECT_EQ(registry.FindTypeByName("SecondProbe"), nullptr);
}

TEST(BindingRegistryTest, EnumeratorsKeepTheLastValueAndNameTheFirstInByteOrder) {
  BindingRegistry registry;
  registry.BeginType(4, "E", TypeIdOf<Colour>(), true)
      .AddEnumValue("A", 1, "one")
      .AddEnumValue("A", 2, "two")
      .AddEnumValue("b", 7, "")
      .AddEnumValue("C", 7, "");
  const TypeRecord* type = registry.FindTypeByName("E");
  ASSERT_EQ(type->enumerators.size(), 3u);
  EXPECT_EQ(type->enumerators.at("A").value, 2);
  EXPECT_EQ(type->enumerators.at("A").description, "two");
  EXPECT_STREQ(registry.EnumName(TypeIdOf<Colour>(), 7), "C") << "\"C\" sorts before \"b\"";
  EXPECT_EQ(registry.EnumName(TypeIdOf<Colour>(), 5), nullptr);
  EXPECT_EQ(registry.EnumName(TypeIdOf<Sample>(), 7), nullptr);
  EXPECT_TRUE(BindingRegistry::IsEnumValue(type, 2));
  EXPECT_FALSE(BindingRegistry::IsEnumValue(type, 1));
  EXPECT_FALSE(BindingRegistry::IsEnumValue(nullptr, 1));
}

TEST(BindingRegistryTest, FunctionsAndEventsAreFoundByNameAndTheFirstOfANameStays) {
  BindingRegistry registry;
  FunctionRecord* function = registry.RegisterFunction("GetThing", 1);
  BindingRegistry::AddArgument(*function, "id", "the id");
  const TypeIdentifier second{BindingCode::Uint64};
  BindingRegistry::AddArgument(*function, "extra", "", &second);
  ASSERT_EQ(function->arguments.size(), 2u);
  EXPECT_EQ(function->arguments[0].name, "id");
  EXPECT_EQ(function->arguments[0].nameHash, Fnv1a("id"));
  EXPECT_EQ(function->arguments[1].secondType.code, BindingCode::Uint64);
  EXPECT_EQ(registry.FindFunction("GetThing"), function);
  EXPECT_EQ(registry.FindFunction("Other"), nullptr);

  auto deferred = registry.CreateFunction("Later", 0);
  EXPECT_EQ(registry.FindFunction("Later"), nullptr);
  FunctionRecord* inserted = registry.InsertFunction(std::move(deferred));
  EXPECT_EQ(registry.FindFunction("Later"), inserted);
  FunctionRecord* duplicate = registry.RegisterFunction("Later", 0);
  EXPECT_NE(duplicate, inserted);
  EXPECT_EQ(registry.FindFunction("Later"), inserted) << "the first function of a name stays";
  EXPECT_EQ(registry.FunctionCount(), 3u);
  EXPECT_EQ(registry.CopyFunctions().size(), 2u);
  EventRecord* event = registry.RegisterEvent("OnData", nullptr);
  EXPECT_EQ(registry.FindEvent("OnData"), event);
  EXPECT_EQ(registry.CopyEvents().size(), 1u);
}

TEST(BindingRegistryTest, ConcurrentRegistrationAndLookupAreSafe) {
  BindingRegistry registry;
  auto work = [&registry](int seed) {
    for (int i = 0; i < 500; ++i) {
      const std::string name = "T" + std::to_string((i * 7 + seed) % 200);
      (void)registry.BeginType(4, name, TypeIdOf<Sample>(), false);
      EXPECT_NE(registry.FindTypeByName(name), nullptr);
      (void)registry.FindTypeByHash(TypeIdOf<Sample>());
    }
  };
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();
  EXPECT_EQ(registry.CopyTypes().size(), 200u);
}

}  // namespace
}  // namespace Oxle::Client::Binding
