// Writes a synthetic world (accounts.adm, ztpcs.wsc, ztitems.wsc) for benchmarks and
// tests. The output depends only on the seed and the sizes, so two runs with the same
// arguments write the same bytes. The records look like a busy server's: characters with
// many stat lines, items mostly short key/number lines, containers nested a few levels,
// equipped items, world items without an owner, keys (TYPE 7) whose MORE names another
// item, comments, blank lines and the odd TAB or doubled blank.
//
// One character is rich: it owns many items in nested containers, spread over the whole
// items file. Its account, name, serial and item count are printed on standard output.
//
// By default some references name no record, as in worlds that servers have saved for
// years: ROBE lines, and the chest and the door of another player that a few of the rich
// character's items name. With --consistent every reference names a record (no robes, and
// that chest and door written last), for tests that want a world without any problem; the
// bytes before those two records are the same either way.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

struct Sizes
{
    long accounts = 0;
    long characters = 0;
    long items = 0;
    long richItems = 0;
    bool consistent = false;
    // Account names are this prefix and the account's number: two worlds made with different
    // prefixes share no account name (a shard merge then creates every account).
    std::string accountPrefix = "acct";
    // No account holds two characters of one name: a repeated name gets the character's
    // number after it (a world that merges into another without a duplicate).
    bool uniqueNames = false;
};

// What some of the rich character's items name but belongs to another player.
constexpr long long ForeignChest = 0x4fffff00LL;
constexpr long long ForeignDoor = 0x4fffff01LL;

// splitmix64: tiny, fast and the same on every platform.
class Random
{
public:
    explicit Random(uint64_t seed)
        : m_state(seed)
    { }
    uint64_t next()
    {
        uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // A number in [0, n).
    long below(long n) { return n <= 0 ? 0 : long(next() % uint64_t(n)); }
    bool chance(int percent) { return below(100) < percent; }

private:
    uint64_t m_state;
};

// Appends to a large buffer and hands it to the file in big writes.
class Output
{
public:
    explicit Output(const std::string &path)
        : m_path(path)
    {
        m_file = std::fopen(path.c_str(), "wb");
        if (!m_file) {
            std::fprintf(
                    stderr, "worldgen: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            std::exit(1);
        }
        m_buffer.reserve(Capacity + 4096);
    }
    ~Output() { close(); }

    void close()
    {
        if (!m_file)
            return;
        flush();
        if (std::fclose(m_file) != 0) {
            std::fprintf(stderr, "worldgen: error writing %s\n", m_path.c_str());
            std::exit(1);
        }
        m_file = nullptr;
    }

    Output &text(const char *s)
    {
        m_buffer.append(s);
        return *this;
    }
    Output &text(const std::string &s)
    {
        m_buffer.append(s);
        return *this;
    }
    Output &ch(char c)
    {
        m_buffer.push_back(c);
        return *this;
    }
    Output &number(long long value)
    {
        char digits[24];
        int n = 0;
        unsigned long long v = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                         : static_cast<unsigned long long>(value);
        do {
            digits[n++] = char('0' + v % 10);
            v /= 10;
        } while (v);
        if (value < 0)
            m_buffer.push_back('-');
        while (n)
            m_buffer.push_back(digits[--n]);
        return *this;
    }
    Output &hex4(unsigned value)
    {
        static const char hex[] = "0123456789ABCDEF";
        m_buffer.append("0x");
        for (int shift = 12; shift >= 0; shift -= 4)
            m_buffer.push_back(hex[(value >> shift) & 0xf]);
        return *this;
    }
    void endLine()
    {
        m_buffer.push_back('\n');
        if (m_buffer.size() >= Capacity)
            flush();
    }
    // "KEY value" with the separator a reader must simplify now and then.
    void keyNumber(const char *key, long long value, Random &random)
    {
        text(key);
        separator(random);
        number(value);
        endLine();
    }
    void separator(Random &random)
    {
        const long r = random.below(400);
        if (r == 0)
            ch('\t');
        else if (r == 1)
            text("  ");
        else if (r == 2)
            text(" \t ");
        else
            ch(' ');
    }

private:
    void flush()
    {
        if (!m_buffer.empty()
                && std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file) != m_buffer.size()) {
            std::fprintf(stderr, "worldgen: error writing %s\n", m_path.c_str());
            std::exit(1);
        }
        m_buffer.clear();
    }

    static constexpr size_t Capacity = 4 << 20;
    std::string m_path;
    std::FILE *m_file = nullptr;
    std::string m_buffer;
};

const char *const FirstNames[] = { "Aldo", "Brand", "Cyra", "Dorn", "Elsa", "Fenn", "Gala", "Hugo",
    "Iris", "Jarek", "Kira", "Lorn", "Mira", "Nils", "Orla", "Piet", "Quin", "Rhea", "Sven", "Tova",
    "Ulf", "Vera", "Wim", "Yara" };
const char *const LastNames[] = { "Ashford", "Blackwood", "Crane", "Dunmore", "Everly", "Fairfax",
    "Greaves", "Holt", "Ironside", "Jessop", "Kettle", "Lark", "Marsh", "Northcott", "Oakes",
    "Pryce", "Quarry", "Rook", "Stone", "Thorne" };

// The stat-like keys of a character record, after the keys the tool reads or rewrites.
const char *const CharacterStats[] = {
    "X",
    "Y",
    "Z",
    "DIR",
    "BODY",
    "XBODY",
    "SKIN",
    "XSKIN",
    "PRIV",
    "STR",
    "DEX",
    "INT",
    "STR2",
    "DEX2",
    "INT2",
    "HITPOINTS",
    "STAMINA",
    "MANA",
    "KARMA",
    "FAME",
    "KILLS",
    "DEATHS",
    "HUNGER",
    "POISONED",
    "FLAG1",
    "FLAG2",
    "LIGHT",
    "TRIGGER",
};
constexpr int SkillCount = 40;

std::string characterName(Random &random, bool odd)
{
    std::string name = FirstNames[random.below(sizeof FirstNames / sizeof *FirstNames)];
    name += odd ? "\t " : " ";
    name += LastNames[random.below(sizeof LastNames / sizeof *LastNames)];
    if (random.chance(30)) {
        name += " the ";
        name += FirstNames[random.below(sizeof FirstNames / sizeof *FirstNames)];
    }
    return name;
}

long characterSerial(long index)
{
    return 1000 + index * 7;
}
long accountOf(long character, const Sizes &sizes)
{
    return character % sizes.accounts;
}

void writeAccounts(const std::string &path, const Sizes &sizes, Random &random)
{
    Output out(path);
    out.text("// Accounts").endLine();
    out.text("// generated by chartransfer_worldgen").endLine();
    out.endLine();
    for (long a = 0; a < sizes.accounts; ++a) {
        if (a % 1000 == 999)
            out.text("//---- accounts ").number(a - 999).text(" to ").number(a).endLine();
        out.text("SECTION ACCOUNT ").number(a).endLine();
        out.text("{").endLine();
        out.text("NAME ").text(sizes.accountPrefix).number(a).endLine();
        out.text("PASS pw").number(long(random.below(1000000000))).endLine();
        out.keyNumber("PRIV", random.below(4), random);
        out.text("CONTACT player").number(a).text("@example.org").endLine();
        out.keyNumber("LASTLOGIN", 1000000000 + random.below(200000000), random);
        out.text("LASTIP 10.")
                .number(random.below(256))
                .ch('.')
                .number(random.below(256))
                .ch('.')
                .number(random.below(256))
                .endLine();
        out.keyNumber("JAILTIME", 0, random);
        out.text("}").endLine();
        out.endLine();
    }
}

void writeCharacters(const std::string &path, const Sizes &sizes, long rich, Random &random)
{
    Output out(path);
    out.text("// Characters").endLine();
    out.text("// generated by chartransfer_worldgen").endLine();
    out.endLine();
    std::vector<std::set<std::string>> names(size_t(sizes.uniqueNames ? sizes.accounts : 0));
    for (long c = 0; c < sizes.characters; ++c) {
        if (c % 5000 == 4999)
            out.text("// ---- save block ").number(c / 5000).text(" ----").endLine();
        if (random.chance(1))
            out.text("\t").endLine();
        out.text("SECTION CHARACTER ").number(c).endLine();
        out.text("{").endLine();
        out.keyNumber("SERIAL", characterSerial(c), random);
        if (c == rich)
            out.text("NAME Magnus the Rich").endLine();
        else {
            std::string name = characterName(random, random.chance(1));
            // The loader reads "A\t B" as "A B".
            std::string read = name;
            read.erase(std::remove(read.begin(), read.end(), '\t'), read.end());
            if (sizes.uniqueNames
                    && !names[size_t(accountOf(c, sizes))].insert(read).second)
                name += " " + std::to_string(c);
            out.text("NAME ").text(name).endLine();
        }
        out.keyNumber("ACCOUNT", accountOf(c, sizes), random);
        out.keyNumber("OWN", characterSerial(c), random);
        out.text("ROBE ").number(sizes.consistent ? -1 : 0x40000000L - 1 - c).endLine();
        out.text("TITLE ").text(random.chance(50) ? "the Brave" : "").endLine();
        for (const char *key : CharacterStats) {
            out.keyNumber(key, random.below(key[0] == 'X' || key[0] == 'Y' ? 6000 : 200), random);
            if (random.chance(1))
                out.text("// checked by GM").endLine();
        }
        for (int s = 0; s < SkillCount; ++s) {
            out.text("SKILL").number(s);
            out.separator(random);
            out.number(random.below(1001));
            if (random.chance(1))
                out.text(" // trained");
            out.endLine();
        }
        out.text("}").endLine();
        out.endLine();
    }
}

// One item as planned before it is written.
struct Item
{
    long long serial = 0;
    long long owner = -1; // -1: no OWNER line (a world item)
    long long cont = -1; // -1: no CONT line
    long long more = 0;
    int type = 0;
    int layer = 0; // 0: not equipped
};

class ItemWriter
{
public:
    ItemWriter(const std::string &path, Random &random)
        : m_out(path)
        , m_random(random)
    {
        m_out.text("// Items").endLine();
        m_out.text("// generated by chartransfer_worldgen").endLine();
        m_out.endLine();
    }

    long written() const { return m_record; }
    long long nextPlainSerial() const { return 0x40000001LL + m_record; }

    void write(const Item &item)
    {
        Output &out = m_out;
        Random &random = m_random;
        if (m_record % 20000 == 19999)
            out.text("//---- item block ").number(m_record / 20000).text(" ----").endLine();
        if (random.chance(1))
            out.text("   ").endLine();
        out.text("SECTION WORLDITEM ").number(m_record).endLine();
        out.text("{").endLine();
        out.keyNumber("SERIAL", item.serial, random);
        out.text("ID ").hex4(unsigned(0x0e00 + random.below(0x2000))).endLine();
        if (random.chance(3))
            out.text("NAME a fine ").text(LastNames[random.below(20)]).text(" blade").endLine();
        out.keyNumber("X", random.below(6000), random);
        out.keyNumber("Y", random.below(4000), random);
        out.keyNumber("Z", random.below(30), random);
        if (item.owner >= 0) {
            out.text("OWNER ").number(item.owner);
            if (random.chance(1))
                out.text(" // owner");
            out.endLine();
        }
        if (item.cont >= 0)
            out.keyNumber("CONT", item.cont, random);
        if (item.layer)
            out.keyNumber("LAYER", item.layer, random);
        out.keyNumber("TYPE", item.type, random);
        out.keyNumber("MORE", item.more, random);
        out.keyNumber("MOREX", 0, random);
        out.keyNumber("MOREY", 0, random);
        out.keyNumber("MOREZ", 0, random);
        out.keyNumber("AMOUNT", random.chance(10) ? 1 + random.below(500) : 1, random);
        out.text("COLOR ").hex4(unsigned(random.below(0x400))).endLine();
        out.keyNumber("DYE", 0, random);
        out.keyNumber("ATT", random.below(50), random);
        out.keyNumber("DEF", random.below(50), random);
        out.keyNumber("HP", random.below(100), random);
        out.keyNumber("WEIGHT", random.below(200), random);
        if (random.chance(2))
            out.text("  // repaired").endLine();
        out.keyNumber("VALUE", random.below(5000), random);
        out.keyNumber("MOVABLE", 1, random);
        out.keyNumber("CREATED", 1600000000 + random.below(100000000), random);
        out.keyNumber(
                "DECAYTIME", random.chance(50) ? 0 : 1700000000 + random.below(1000000), random);
        if (random.chance(20))
            out.text("DESC crafted by ")
                    .text(FirstNames[random.below(24)])
                    .text(" of ")
                    .text(LastNames[random.below(20)])
                    .text(" in the year ")
                    .number(100 + random.below(900))
                    .endLine();
        out.text("}").endLine();
        out.endLine();
        ++m_record;
    }

private:
    Output m_out;
    Random &m_random;
    long m_record = 0;
};

// The rich character's items: a backpack and equipment on the character, bags inside bags
// down to four levels, keys that open one of the bags, and a few items that a transfer must
// leave behind (in a container that is not the character's, a key to a foreign chest).
std::vector<Item> planRichItems(long count, long long owner, Random &random)
{
    std::vector<Item> items;
    std::vector<std::pair<long long, int>> containers; // serial, depth
    const long long base = 0x50000000LL;
    for (long i = 0; i < count; ++i) {
        Item item;
        item.serial = base + i;
        item.owner = owner;
        item.type = 1;
        if (i == 0) {
            item.cont = owner;
            item.layer = 21;
            containers.push_back({ item.serial, 1 });
        } else if (i <= 12) {
            item.cont = owner;
            item.layer = int(i);
        } else if (i % 97 == 0) {
            item.cont = ForeignChest;
        } else if (i % 53 == 0) {
            item.type = 7;
            item.cont = containers[size_t(random.below(long(containers.size())))].first;
            item.more = i % 106 == 0 ? ForeignDoor : containers.back().first;
        } else {
            const auto &parent = containers[size_t(random.below(long(containers.size())))];
            item.cont = parent.first;
            if (parent.second < 4 && random.chance(10))
                containers.push_back({ item.serial, parent.second + 1 });
        }
        items.push_back(item);
    }
    return items;
}

// An ordinary character's few items: a backpack, some equipment, things in the pack, now
// and then a bag in the pack and a key to it.
void planItemsOf(long long owner, long count, long long firstSerial, Random &random,
        std::vector<Item> &items)
{
    items.clear();
    long long pack = firstSerial;
    long long bag = -1;
    for (long i = 0; i < count; ++i) {
        Item item;
        item.serial = firstSerial + i;
        item.owner = owner;
        item.type = 1;
        if (i == 0) {
            item.cont = owner;
            item.layer = 21;
        } else if (i < 4) {
            item.cont = owner;
            item.layer = int(i);
        } else if (bag < 0 && random.chance(20)) {
            item.cont = pack;
            bag = item.serial;
        } else if (bag >= 0 && random.chance(10)) {
            item.type = 7;
            item.cont = pack;
            item.more = bag;
        } else {
            item.cont = bag >= 0 && random.chance(50) ? bag : pack;
        }
        items.push_back(item);
    }
}

void writeItems(
        const std::string &path, const Sizes &sizes, long rich, Random &random, long *richWritten)
{
    ItemWriter writer(path, random);
    const std::vector<Item> richItems =
            planRichItems(sizes.richItems, characterSerial(rich), random);
    size_t richNext = 0;
    const long ordinary = sizes.items - long(richItems.size());
    // About two thirds of the rest belong to characters, the others lie in the world.
    const long perCharacter = sizes.characters ? (ordinary * 2 / 3) / sizes.characters : 0;
    std::vector<Item> batch;
    for (long c = 0; c < sizes.characters; ++c) {
        const long target = long(double(sizes.items) * double(c + 1) / double(sizes.characters));
        if (c != rich) {
            long count = random.below(2 * perCharacter + 1);
            count = std::min(count, target - writer.written());
            planItemsOf(characterSerial(c), std::max(0L, count), writer.nextPlainSerial(), random,
                    batch);
            for (Item &item : batch) {
                item.serial = writer.nextPlainSerial();
                writer.write(item);
            }
        }
        const size_t richTarget =
                size_t(double(richItems.size()) * double(c + 1) / double(sizes.characters));
        while (richNext < richTarget && writer.written() < sizes.items)
            writer.write(richItems[richNext++]);
        // World items: on the ground or in chests; some chests hold a few.
        long long chest = -1;
        while (writer.written() < target) {
            Item item;
            item.serial = writer.nextPlainSerial();
            item.type = 1;
            if (chest >= 0 && random.chance(40))
                item.cont = chest;
            else if (random.chance(5))
                chest = item.serial;
            writer.write(item);
        }
    }
    while (richNext < richItems.size())
        writer.write(richItems[richNext++]);
    *richWritten = long(richNext);
    if (sizes.consistent) {
        for (const long long serial : { ForeignChest, ForeignDoor }) {
            Item item;
            item.serial = serial;
            item.type = 1;
            writer.write(item);
        }
    }
}

[[noreturn]] void usage()
{
    std::fprintf(stderr,
            "usage: chartransfer_worldgen OUTDIR [--preset small|medium|large]\n"
            "           [--seed N] [--accounts N] [--characters N] [--items N]\n"
            "           [--rich-items N] [--consistent] [--account-prefix TEXT]\n"
            "           [--unique-names]\n");
    std::exit(2);
}

long parseNumber(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno || !end || *end || value < 0)
        usage();
    return value;
}

bool applyPreset(const std::string &name, Sizes *sizes)
{
    const bool consistent = sizes->consistent;
    const std::string prefix = sizes->accountPrefix;
    const bool uniqueNames = sizes->uniqueNames;
    if (name == "small")
        *sizes = { 100, 400, 6000, 300 };
    else if (name == "medium")
        *sizes = { 2500, 10000, 120000, 1200 };
    else if (name == "large")
        *sizes = { 25000, 100000, 1200000, 1200 };
    else
        return false;
    sizes->consistent = consistent;
    sizes->accountPrefix = prefix;
    sizes->uniqueNames = uniqueNames;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        usage();
    std::string dir;
    Sizes sizes;
    applyPreset("small", &sizes);
    uint64_t seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--preset" && hasValue) {
            if (!applyPreset(argv[++i], &sizes))
                usage();
        } else if (arg == "--seed" && hasValue) {
            seed = uint64_t(parseNumber(argv[++i]));
        } else if (arg == "--accounts" && hasValue) {
            sizes.accounts = parseNumber(argv[++i]);
        } else if (arg == "--characters" && hasValue) {
            sizes.characters = parseNumber(argv[++i]);
        } else if (arg == "--items" && hasValue) {
            sizes.items = parseNumber(argv[++i]);
        } else if (arg == "--rich-items" && hasValue) {
            sizes.richItems = parseNumber(argv[++i]);
        } else if (arg == "--account-prefix" && hasValue) {
            sizes.accountPrefix = argv[++i];
            if (sizes.accountPrefix.empty()
                    || sizes.accountPrefix.find_first_of(" \t\r\n") != std::string::npos)
                usage();
        } else if (arg == "--unique-names") {
            sizes.uniqueNames = true;
        } else if (arg == "--consistent") {
            sizes.consistent = true;
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            usage();
        } else if (dir.empty()) {
            dir = arg;
        } else {
            usage();
        }
    }
    if (dir.empty() || sizes.accounts < 1 || sizes.characters < 1)
        usage();
    sizes.richItems = std::min(sizes.richItems, sizes.items);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "worldgen: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }

    const long rich = sizes.characters / 2;
    Random accounts(seed * 3 + 1);
    Random characters(seed * 3 + 2);
    Random items(seed * 3 + 3);
    writeAccounts(dir + "/accounts.adm", sizes, accounts);
    writeCharacters(dir + "/ztpcs.wsc", sizes, rich, characters);
    long richWritten = 0;
    writeItems(dir + "/ztitems.wsc", sizes, rich, items, &richWritten);

    std::printf("rich-character\taccount=%s%ld\tname=Magnus the Rich\tserial=%ld\titems=%ld\n",
            sizes.accountPrefix.c_str(), accountOf(rich, sizes), characterSerial(rich),
            richWritten);
    return 0;
}
