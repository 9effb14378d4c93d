#include "sim/profile.h"

#include <boost/json.hpp>

#include <cstdio>
#include <cstring>
#include <map>

#include "ks/ks_platform.h"

namespace sim {
namespace {

namespace json = boost::json;

struct NamedGuid {
  const char* name;
  GUID guid;
};

// Names a profile may use instead of a GUID's text.
const NamedGuid kGuidNames[] = {
    {"wildcard", GUID_NULL},
    {"audio", KSDATAFORMAT_TYPE_AUDIO},
    {"music", KSDATAFORMAT_TYPE_MUSIC},
    {"pcm", KSDATAFORMAT_SUBTYPE_PCM},
    {"ieee-float", KSDATAFORMAT_SUBTYPE_IEEE_FLOAT},
    {"midi", KSDATAFORMAT_SUBTYPE_MIDI},
    {"waveformatex", KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
    {"dsound", KSDATAFORMAT_SPECIFIER_DSOUND},
    {"standard-interfaces", KSINTERFACESETID_Standard},
    {"standard-mediums", KSMEDIUMSETID_Standard},
    {"speaker", KSNODETYPE_SPEAKER},
    {"line-connector", KSNODETYPE_LINE_CONNECTOR},
    {"spdif", KSNODETYPE_SPDIF_INTERFACE},
    {"dac", KSNODETYPE_DAC},
    {"adc", KSNODETYPE_ADC},
    {"volume", KSNODETYPE_VOLUME},
    {"mute", KSNODETYPE_MUTE},
    {"mux", KSNODETYPE_MUX},
    {"sum", KSNODETYPE_SUM},
};

const std::map<std::string, ULONG> kPinProperties = {
    {"communication", KSPROPERTY_PIN_COMMUNICATION}, {"interfaces", KSPROPERTY_PIN_INTERFACES},
    {"mediums", KSPROPERTY_PIN_MEDIUMS},             {"dataranges", KSPROPERTY_PIN_DATARANGES},
    {"dataflow", KSPROPERTY_PIN_DATAFLOW},           {"cinstances", KSPROPERTY_PIN_CINSTANCES},
    {"globalcinstances", KSPROPERTY_PIN_GLOBALCINSTANCES}, {"category", KSPROPERTY_PIN_CATEGORY},
    {"name", KSPROPERTY_PIN_NAME},
};

// Parsing fails by throwing this; ParseProfile turns it into the error text.
struct FieldError {
  std::string field;
  std::string what;
};

[[noreturn]] void Fail(const std::string& field, const std::string& what) { throw FieldError{field, what}; }

bool ParseGuidText(const std::string& text, GUID& guid) {
  unsigned long d1 = 0;
  unsigned d2 = 0, d3 = 0, b[8] = {};
  int used = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                  &b[3], &b[4], &b[5], &b[6], &b[7], &used) != 11 ||
      used != 38)
    return false;
  guid.Data1 = d1;
  guid.Data2 = static_cast<unsigned short>(d2);
  guid.Data3 = static_cast<unsigned short>(d3);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(b[i]);
  return true;
}

GUID GuidField(const json::value& v, const std::string& field) {
  if (!v.is_string()) Fail(field, "expected a GUID name or \"{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\"");
  std::string text(v.as_string());
  for (const NamedGuid& n : kGuidNames) {
    if (text == n.name) return n.guid;
  }
  GUID guid;
  if (!ParseGuidText(text, guid)) Fail(field, "unknown GUID name or malformed GUID \"" + text + "\"");
  return guid;
}

// A non-negative integer up to `max`; strings such as "0x3F57" are read as hex.
uint64_t NumberField(const json::value& v, const std::string& field, uint64_t max) {
  uint64_t n = 0;
  if (v.is_int64() && v.as_int64() >= 0) {
    n = static_cast<uint64_t>(v.as_int64());
  } else if (v.is_uint64()) {
    n = v.as_uint64();
  } else if (v.is_string()) {
    std::string text(v.as_string());
    char* end = nullptr;
    n = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || text[0] == '-') Fail(field, "expected a number, got \"" + text + "\"");
  } else {
    Fail(field, "expected a non-negative number");
  }
  if (n > max) Fail(field, "out of range (at most " + std::to_string(max) + ")");
  return n;
}

ULONG UlongField(const json::value& v, const std::string& field) {
  return static_cast<ULONG>(NumberField(v, field, 0xFFFFFFFF));
}

std::string StringField(const json::value& v, const std::string& field) {
  if (!v.is_string()) Fail(field, "expected a string");
  return std::string(v.as_string());
}

bool BoolField(const json::value& v, const std::string& field) {
  if (!v.is_bool()) Fail(field, "expected true or false");
  return v.as_bool();
}

const json::object& ObjectField(const json::value& v, const std::string& field) {
  if (!v.is_object()) Fail(field, "expected an object");
  return v.as_object();
}

const json::array& ArrayField(const json::value& v, const std::string& field) {
  if (!v.is_array()) Fail(field, "expected an array");
  return v.as_array();
}

// Members outside `known` are mistakes (a misspelt field would silently keep
// its default otherwise).
void CheckMembers(const json::object& o, const std::string& field, std::initializer_list<const char*> known) {
  for (const auto& member : o) {
    bool ok = false;
    for (const char* k : known) ok = ok || member.key() == k;
    if (!ok) Fail(field.empty() ? std::string(member.key()) : field + "." + std::string(member.key()), "unknown field");
  }
}

void RangePair(const json::value& v, const std::string& field, ULONG& lo, ULONG& hi) {
  const json::array& a = ArrayField(v, field);
  if (a.size() != 2) Fail(field, "expected [minimum, maximum]");
  lo = UlongField(a[0], field + "[0]");
  hi = UlongField(a[1], field + "[1]");
  if (lo > hi) Fail(field, "minimum above maximum");
}

ULONG EnumField(const json::value& v, const std::string& field, std::initializer_list<const char*> names) {
  if (v.is_string()) {
    ULONG i = 0;
    for (const char* n : names) {
      if (v.as_string() == n) return i;
      ++i;
    }
    std::string list;
    for (const char* n : names) list += std::string(list.empty() ? "" : ", ") + n;
    Fail(field, "expected one of " + list + " or a number");
  }
  return UlongField(v, field);  // odd values are allowed on purpose
}

AliasState AliasField(const json::value& v, const std::string& field) {
  return static_cast<AliasState>(EnumField(v, field, {"enabled", "disabled", "removed", "absent"}) & 3);
}

std::vector<IdentifierProfile> Identifiers(const json::value& v, const std::string& field) {
  std::vector<IdentifierProfile> list;
  const json::array& a = ArrayField(v, field);
  for (size_t i = 0; i < a.size(); ++i) {
    std::string f = field + "[" + std::to_string(i) + "]";
    const json::object& o = ObjectField(a[i], f);
    CheckMembers(o, f, {"set", "id", "flags"});
    IdentifierProfile id;
    if (!o.contains("set")) Fail(f + ".set", "missing");
    id.set = GuidField(o.at("set"), f + ".set");
    if (o.contains("id")) id.id = UlongField(o.at("id"), f + ".id");
    if (o.contains("flags")) id.flags = UlongField(o.at("flags"), f + ".flags");
    list.push_back(id);
  }
  return list;
}

RangeProfile Range(const json::value& v, const std::string& field) {
  const json::object& o = ObjectField(v, field);
  CheckMembers(o, field, {"major", "sub", "specifier", "channels", "bits", "rates", "reported_size"});
  RangeProfile r;
  r.major = KSDATAFORMAT_TYPE_AUDIO;
  r.sub = KSDATAFORMAT_SUBTYPE_PCM;
  r.specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  if (o.contains("major")) r.major = GuidField(o.at("major"), field + ".major");
  if (o.contains("sub")) r.sub = GuidField(o.at("sub"), field + ".sub");
  if (o.contains("specifier")) r.specifier = GuidField(o.at("specifier"), field + ".specifier");
  if (o.contains("channels")) r.channels = UlongField(o.at("channels"), field + ".channels");
  if (o.contains("bits")) RangePair(o.at("bits"), field + ".bits", r.minBits, r.maxBits);
  if (o.contains("rates")) RangePair(o.at("rates"), field + ".rates", r.minRate, r.maxRate);
  if (o.contains("reported_size")) r.reportedSize = UlongField(o.at("reported_size"), field + ".reported_size");
  return r;
}

PinProfile Pin(const json::value& v, const std::string& field) {
  const json::object& o = ObjectField(v, field);
  CheckMembers(o, field,
               {"name", "communication", "dataflow", "category", "interfaces", "mediums", "ranges", "instances",
                "failing_properties"});
  PinProfile p;
  p.category = KSNODETYPE_SPEAKER;
  p.interfaces = {{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}};
  p.mediums = {{KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0}};
  if (o.contains("name")) p.name = StringField(o.at("name"), field + ".name");
  if (o.contains("communication"))
    p.communication = EnumField(o.at("communication"), field + ".communication", {"none", "sink", "source", "both"});
  if (o.contains("dataflow")) {
    // KSPIN_DATAFLOW: 1 in, 2 out.
    ULONG flow = EnumField(o.at("dataflow"), field + ".dataflow", {"", "in", "out"});
    p.dataflow = flow;
  }
  if (o.contains("category")) p.category = GuidField(o.at("category"), field + ".category");
  if (o.contains("interfaces")) p.interfaces = Identifiers(o.at("interfaces"), field + ".interfaces");
  if (o.contains("mediums")) p.mediums = Identifiers(o.at("mediums"), field + ".mediums");
  if (o.contains("ranges")) {
    const json::array& a = ArrayField(o.at("ranges"), field + ".ranges");
    for (size_t i = 0; i < a.size(); ++i) p.ranges.push_back(Range(a[i], field + ".ranges[" + std::to_string(i) + "]"));
  }
  if (o.contains("instances")) p.possibleInstances = UlongField(o.at("instances"), field + ".instances");
  if (o.contains("failing_properties")) {
    const json::array& a = ArrayField(o.at("failing_properties"), field + ".failing_properties");
    for (size_t i = 0; i < a.size(); ++i) {
      std::string f = field + ".failing_properties[" + std::to_string(i) + "]";
      auto it = kPinProperties.find(StringField(a[i], f));
      if (it == kPinProperties.end()) Fail(f, "not a pin property name");
      p.failingProperties.insert(it->second);
    }
  }
  return p;
}

void Parse(const json::object& root, Profile& p) {
  CheckMembers(root, "", {"name", "usb", "filter", "hid", "service"});
  if (root.contains("name")) p.name = StringField(root.at("name"), "name");
  if (root.contains("usb")) {
    const json::object& usb = ObjectField(root.at("usb"), "usb");
    CheckMembers(usb, "usb", {"vendor", "product", "interface", "instance"});
    if (usb.contains("vendor")) p.vendorId = static_cast<uint16_t>(NumberField(usb.at("vendor"), "usb.vendor", 0xFFFF));
    if (usb.contains("product")) {
      p.productId = static_cast<uint16_t>(NumberField(usb.at("product"), "usb.product", 0xFFFF));
      p.hidProductId = p.productId;
    }
    if (usb.contains("interface")) p.interfaceNumber = static_cast<ULONG>(NumberField(usb.at("interface"), "usb.interface", 255));
    if (usb.contains("instance")) {
      p.instance = StringField(usb.at("instance"), "usb.instance");
      if (p.instance.empty() || p.instance.size() > 64 || p.instance.find_first_of("\\#/") != std::string::npos)
        Fail("usb.instance", "expected 1 to 64 characters without '\\', '/' or '#'");
    }
  }
  if (root.contains("filter")) {
    const json::object& f = ObjectField(root.at("filter"), "filter");
    CheckMembers(f, "filter", {"render_alias", "capture_alias", "pins", "nodes"});
    if (f.contains("render_alias")) p.renderAlias = AliasField(f.at("render_alias"), "filter.render_alias");
    if (f.contains("capture_alias")) p.captureAlias = AliasField(f.at("capture_alias"), "filter.capture_alias");
    if (f.contains("pins")) {
      p.pins.clear();
      const json::array& a = ArrayField(f.at("pins"), "filter.pins");
      for (size_t i = 0; i < a.size(); ++i) p.pins.push_back(Pin(a[i], "filter.pins[" + std::to_string(i) + "]"));
    }
    if (f.contains("nodes")) {
      p.nodes.clear();
      const json::array& a = ArrayField(f.at("nodes"), "filter.nodes");
      for (size_t i = 0; i < a.size(); ++i) p.nodes.push_back(GuidField(a[i], "filter.nodes[" + std::to_string(i) + "]"));
    }
  }
  if (root.contains("hid")) {
    const json::object& h = ObjectField(root.at("hid"), "hid");
    CheckMembers(h, "hid", {"present", "product", "input_report", "output_report", "others"});
    if (h.contains("others")) {
      const json::array& a = ArrayField(h.at("others"), "hid.others");
      for (size_t i = 0; i < a.size(); ++i) {
        std::string f = "hid.others[" + std::to_string(i) + "]";
        const json::object& o = ObjectField(a[i], f);
        CheckMembers(o, f, {"product", "overlapped_open"});
        if (!o.contains("product")) Fail(f + ".product", "missing");
        Profile::OtherHid other{static_cast<uint16_t>(NumberField(o.at("product"), f + ".product", 0xFFFF))};
        if (o.contains("overlapped_open")) other.overlappedOpen = BoolField(o.at("overlapped_open"), f + ".overlapped_open");
        p.otherHid.push_back(other);
      }
    }
    if (h.contains("present")) p.hidPresent = BoolField(h.at("present"), "hid.present");
    if (h.contains("product")) p.hidProductId = static_cast<uint16_t>(NumberField(h.at("product"), "hid.product", 0xFFFF));
    if (h.contains("input_report"))
      p.hidInputReportLength = static_cast<uint16_t>(NumberField(h.at("input_report"), "hid.input_report", 4096));
    if (h.contains("output_report"))
      p.hidOutputReportLength = static_cast<uint16_t>(NumberField(h.at("output_report"), "hid.output_report", 4096));
  }
  if (root.contains("service")) {
    const json::object& s = ObjectField(root.at("service"), "service");
    CheckMembers(s, "service", {"names", "stream_status"});
    if (s.contains("names")) {
      p.serviceNames.clear();
      const json::array& a = ArrayField(s.at("names"), "service.names");
      for (size_t i = 0; i < a.size(); ++i)
        p.serviceNames.push_back(StringField(a[i], "service.names[" + std::to_string(i) + "]"));
    }
    if (s.contains("stream_status"))
      p.streamStatusSet = EnumField(s.at("stream_status"), "service.stream_status", {"none", "first", "second"});
    if (p.streamStatusSet > 2) Fail("service.stream_status", "expected none, first or second");
  }
}

}  // namespace

Profile DefaultProfile() {
  Profile p;
  p.name = "Orvi Q-7x";
  PinProfile render;
  render.name = "Orvi Q-7x Output";
  render.communication = KSPIN_COMMUNICATION_SINK;
  render.dataflow = KSPIN_DATAFLOW_IN;
  render.category = KSCATEGORY_AUDIO;
  render.interfaces = {{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}};
  render.mediums = {{KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0}};
  render.ranges = {{KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 16, 32,
                    32000, 384000, 0}};
  PinProfile capture = render;
  capture.name = "Orvi Q-7x Input";
  capture.dataflow = KSPIN_DATAFLOW_OUT;
  PinProfile bridge = render;
  bridge.name = "Speakers";
  bridge.communication = KSPIN_COMMUNICATION_NONE;
  bridge.dataflow = KSPIN_DATAFLOW_OUT;
  bridge.category = KSNODETYPE_SPEAKER;
  bridge.ranges = {{KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG, GUID_NULL, 2, 0, 0, 0, 0, 0}};
  bridge.possibleInstances = 0;
  p.pins = {render, capture, bridge};
  p.nodes = {KSNODETYPE_DAC, KSNODETYPE_VOLUME, KSNODETYPE_MUTE, KSNODETYPE_ADC, KSNODETYPE_MUX};
  p.serviceNames = {"ORVQ71HS"};
  return p;
}

bool ParseProfile(const std::string& text, Profile& profile, std::string& error) {
  json::error_code ec;
  json::value root = json::parse(text, ec);
  if (ec) {
    error = "profile is not valid JSON: " + ec.message();
    return false;
  }
  if (!root.is_object()) {
    error = "profile: expected a JSON object at the top";
    return false;
  }
  Profile p = DefaultProfile();
  try {
    Parse(root.as_object(), p);
  } catch (const FieldError& e) {
    error = "profile field " + (e.field.empty() ? std::string("(top)") : e.field) + ": " + e.what;
    return false;
  }
  profile = std::move(p);
  return true;
}

std::string FilterPath(const Profile& profile, const char* categoryGuidText) {
  char path[256];
  std::snprintf(path, sizeof path, "\\\\?\\usb#vid_%04x&pid_%04x&mi_%02lx#%s#%s\\global", profile.vendorId,
                profile.productId, profile.interfaceNumber, profile.instance.c_str(), categoryGuidText);
  return path;
}

}  // namespace sim
