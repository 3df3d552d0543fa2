// gen_corpus: writes a synthetic backup stream for the benchmarks.
//
//   gen_corpus <out|-> <size MB> [seed] [versions]
//
// The stream imitates what a backup job sees: a tree of text, source, log and
// binary files, then the same tree again several times with small edits, all
// in one tar stream (ustar headers, so `tar tf` can list it). Roughly the first
// 1/versions of the output is the base tree; every later copy repeats most of
// it, far back, which is the case longdup exists for.
//
// Same seed and size give the same bytes on any machine: every choice comes
// from the generator below through integer arithmetic only (no <random>
// distributions and no floating point, whose results may differ between
// standard libraries).

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// xoshiro256** seeded through splitmix64: fast, and fully specified.
struct rng {
    uint64_t s[4];

    explicit rng(uint64_t seed)
    {
        for (auto& x : s) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            x = z ^ (z >> 31);
        }
    }

    uint64_t next()
    {
        const uint64_t out = std::rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = std::rotl(s[3], 45);
        return out;
    }

    // Multiply-shift instead of modulo: no division, and the bias for the
    // small ranges used here is far below anything a benchmark can see.
    uint32_t below(uint32_t n) { return uint32_t(((next() >> 32) * n) >> 32); }
    uint32_t between(uint32_t lo, uint32_t hi) { return lo + below(hi - lo + 1); }
    bool chance(uint32_t per_mille) { return below(1000) < per_mille; }
};

// Sizes spread over orders of magnitude, as real file sizes are: pick a power
// of two uniformly, then a size within it.
uint32_t log_size(rng& r, uint32_t lo, uint32_t hi)
{
    const int lo_bits = std::bit_width(lo) - 1;
    const int hi_bits = std::bit_width(hi) - 1;
    const int e = lo_bits + int(r.below(uint32_t(hi_bits - lo_bits + 1)));
    const uint32_t base = 1u << e;
    return std::clamp(base + r.below(base), lo, hi);
}

void put_le(std::string& out, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(char(v >> (8 * i)));
}

// Words with a Zipf-like frequency: short words are common, long ones rare,
// which gives text the redundancy that compressors of either kind live on.
struct vocab {
    std::vector<std::string> words;
    std::vector<uint64_t> cum;

    vocab(rng& r, size_t n)
    {
        static const char* const onsets[] = {"b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p",
                                             "r", "s", "t", "v", "w", "z", "ch", "sh", "th", "st",
                                             "tr", "pl", "br", "gr"};
        static const char* const nuclei[] = {"a", "e", "i", "o", "u", "ai", "ea", "ou", "io", "y"};
        static const char* const codas[] = {"", "", "", "n", "r", "s", "t", "l", "m", "nd", "st", "ck"};
        uint64_t total = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t syllables = 1 + (i >= 60) + (i >= 800) + (i >= 3000 ? r.below(2) : 0);
            std::string w;
            for (uint32_t k = 0; k < syllables; ++k) {
                w += onsets[r.below(std::size(onsets))];
                w += nuclei[r.below(std::size(nuclei))];
            }
            w += codas[r.below(std::size(codas))];
            words.push_back(std::move(w));
            total += 100'000'000 / (i + 8);
            cum.push_back(total);
        }
    }

    const std::string& pick(rng& r) const
    {
        const uint64_t x = r.next() % cum.back();
        return words[size_t(std::upper_bound(cum.begin(), cum.end(), x) - cum.begin())];
    }

    std::string ident(rng& r) const
    {
        std::string id = pick(r);
        for (uint32_t k = r.below(3); k > 0; --k)
            id += "_" + pick(r);
        return id;
    }
};

enum class kind { prose, code, log, records, exe, blob };

struct kind_info {
    kind k;
    uint32_t share;  // per mille of the base tree's bytes
    uint32_t min_size, max_size;
    const char* top;  // top-level directory
    const char* ext;
};

// Byte shares chosen so that the whole stream compresses by a realistic
// factor: about a third text-like, a third structured binary, and a sixth
// already compressed (media, archives) that nothing can shrink.
const kind_info kinds[] = {
    {kind::prose, 180, 1 << 11, 1 << 18, "docs", ".md"},
    {kind::code, 220, 1 << 10, 1 << 17, "src", ".c"},
    {kind::log, 80, 1 << 15, 1 << 22, "var/log", ".log"},
    {kind::records, 170, 1 << 14, 1 << 23, "data", ".db"},
    {kind::exe, 180, 1 << 15, 1 << 22, "lib", ".so"},
    {kind::blob, 170, 1 << 13, 1 << 22, "media", ".jpg"},
};

const kind_info& info(kind k) { return kinds[int(k)]; }

struct file {
    std::string path;
    kind k;
    uint32_t mtime;
    std::string data;
};

struct gen {
    rng r;
    vocab v;
    std::string license;
    std::vector<std::string> log_templates;
    uint32_t clock = 1'700'000'000;
    uint64_t next_record_id = 1;

    explicit gen(uint64_t seed) : r(seed), v(r, 6000)
    {
        license = "/*\n";
        for (int i = 0; i < 12; ++i)
            license += " * " + sentence() + "\n";
        license += " */\n\n";
        for (int i = 0; i < 60; ++i)
            log_templates.push_back(sentence_words(r.between(3, 9)));
    }

    std::string sentence_words(uint32_t n)
    {
        std::string s;
        for (uint32_t i = 0; i < n; ++i) {
            if (i)
                s += r.chance(70) ? ", " : " ";
            s += v.pick(r);
        }
        return s;
    }

    std::string sentence()
    {
        std::string s = sentence_words(r.between(4, 18));
        s[0] = char(s[0] - 'a' + 'A');
        s += r.chance(60) ? "?" : ".";
        return s;
    }

    // Wraps at 72 columns by turning the last space before the margin into a
    // line break, the way an editor reflows a paragraph.
    static void wrap(std::string& p)
    {
        size_t line_start = 0;
        for (size_t i = 0; i < p.size(); ++i) {
            if (i - line_start < 72)
                continue;
            const size_t sp = p.rfind(' ', i);
            if (sp == std::string::npos || sp <= line_start)
                continue;
            p[sp] = '\n';
            line_start = sp + 1;
        }
    }

    std::string paragraph()
    {
        std::string p;
        if (r.chance(150))
            p += "## " + sentence_words(r.between(2, 5)) + "\n\n";
        for (uint32_t n = r.between(2, 7); n > 0; --n)
            p += sentence() + (n > 1 ? " " : "");
        wrap(p);
        return p + "\n\n";
    }

    // Fills a template left to right: %i an identifier, %w a word, %s a
    // sentence, %b %k %h numbers below 256, 4096 and 65536; every line gets
    // `depth` tabs in front. Draws happen in text order, which an expression
    // like `v.ident(r) + v.pick(r)` would not promise: C++ leaves the order
    // of its operands open, and compilers differ, so the bytes would too.
    std::string expand(const char* t, int depth = 0)
    {
        std::string out;
        for (bool line_start = true; *t; ++t) {
            if (line_start)
                out.append(size_t(depth), '\t');
            line_start = *t == '\n';
            if (*t != '%') {
                out += *t;
                continue;
            }
            switch (*++t) {
            case 'i': out += v.ident(r); break;
            case 'w': out += v.pick(r); break;
            case 's': out += sentence(); break;
            case 'b': out += std::to_string(r.below(256)); break;
            case 'k': out += std::to_string(r.below(4096)); break;
            case 'h': out += std::to_string(r.below(65536)); break;
            }
        }
        return out;
    }

    std::string code_line(int depth)
    {
        static const char* const templates[] = {
            "%i = %i + %b;\n",
            "if (%w->%i == %h)\n",
            "return %i(%w, %w);\n",
            "/* %s */\n",
            "%w->%i = %i(%w, %k);\n",
            "for (i = 0; i < %w; i++)\n",
            "err = %i(&%w);\nif (err)\n\tgoto out;\n",
            "unsigned %i = sizeof(struct %w);\n",
        };
        const uint32_t pick = r.below(std::size(templates) + 1);
        return pick < std::size(templates) ? expand(templates[pick], depth) : "\n";
    }

    std::string function()
    {
        std::string f = expand("static int %i(struct %w *%w, size_t n)\n{\n");
        for (uint32_t n = r.between(3, 25); n > 0; --n)
            f += code_line(1 + int(r.below(2)));
        return f + "\treturn 0;\n}\n\n";
    }

    std::string log_line()
    {
        clock += r.below(30);
        const uint32_t t = clock;
        // One draw per statement: the order of function arguments is open.
        const uint32_t ms = r.below(1000);
        const uint32_t host = r.below(16);
        const char* const daemon = r.chance(500) ? "httpd" : "worker";
        const uint32_t pid = 1000 + r.below(200);
        const char* const level = r.chance(900) ? "INFO" : "WARN";
        const std::string& text = log_templates[r.below(uint32_t(log_templates.size()))];
        const uint32_t id = r.below(1'000'000);
        char head[64];
        std::snprintf(head, sizeof head, "2024-%02u-%02u %02u:%02u:%02u.%03u host%02u %s[%u]: %s ",
                      1 + t / (86400 * 28) % 12, 1 + t / 86400 % 28, t / 3600 % 24, t / 60 % 60, t % 60, ms,
                      host, daemon, pid, level);
        return head + text + " id=" + std::to_string(id) + "\n";
    }

    // A 64-byte row: counters, small enums and names compress well, the hash
    // field does not, as in a real database file.
    void record(std::string& out)
    {
        put_le(out, next_record_id++, 8);
        put_le(out, clock += r.below(100), 4);
        put_le(out, r.below(8), 2);
        put_le(out, r.chance(50) ? r.below(65536) : 0, 2);
        put_le(out, r.below(100'000), 4);
        put_le(out, r.next(), 8);
        std::string name = v.pick(r);
        name.resize(24, '\0');
        out += name;
        out.append(12, '\0');
    }

    // Machine-code-like bytes: a skewed opcode alphabet with small operands
    // and 32-bit offsets whose high bytes are mostly zero, then a string table.
    void code_bytes(std::string& out, size_t n)
    {
        static const uint8_t ops[] = {0x48, 0x89, 0x8b, 0xe8, 0x0f, 0x85, 0x74, 0x75, 0xc3, 0x31,
                                      0x83, 0xff, 0x41, 0x4c, 0x8d, 0xeb, 0x39, 0x01, 0x29, 0x90};
        const size_t end = out.size() + n;
        while (out.size() < end) {
            const uint32_t a = r.below(std::size(ops));
            const uint32_t op = std::min(a, r.below(std::size(ops)));
            out.push_back(char(ops[op]));
            switch (r.below(4)) {
            case 0: break;
            case 1: out.push_back(char(0xc0 + r.below(64))); break;
            case 2: put_le(out, r.below(256), 1); break;
            default: put_le(out, r.below(1 << 16), 4); break;
            }
        }
    }

    std::string make(kind k, uint32_t size)
    {
        std::string d;
        d.reserve(size + 512);
        switch (k) {
        case kind::prose:
            while (d.size() < size)
                d += paragraph();
            break;
        case kind::code:
            d = license;
            for (uint32_t n = r.between(2, 8); n > 0; --n)
                d += expand("#include \"%w/%i.h\"\n");
            d += "\n";
            while (d.size() < size)
                d += function();
            break;
        case kind::log:
            while (d.size() < size)
                d += log_line();
            break;
        case kind::records:
            d.append("RDB1", 4);
            while (d.size() < size)
                record(d);
            break;
        case kind::exe:
            d.append("\x7f" "BIN\x02\x01\x01\0\0\0\0\0\0\0\0\0", 16);
            code_bytes(d, size * 7 / 10);
            while (d.size() < size * 9 / 10)
                d += v.ident(r) + '\0';
            while (d.size() < size)
                put_le(d, r.chance(600) ? 0 : r.below(1 << 20), 4);
            break;
        case kind::blob:
            d.append("\xff\xd8\xff\xe0\0\x10JFIF", 10);
            while (d.size() < size)
                put_le(d, r.next(), 8);
            break;
        }
        return d;
    }

    // ---- Edits between versions ----

    // Start of the line that holds byte i, so that edits keep lines whole.
    static size_t line_start(const std::string& d, size_t i)
    {
        const size_t nl = i ? d.rfind('\n', i - 1) : std::string::npos;
        return nl == std::string::npos ? 0 : nl + 1;
    }

    static size_t skip_lines(const std::string& d, size_t i, uint32_t n)
    {
        for (; n > 0 && i < d.size(); --n) {
            const size_t nl = d.find('\n', i);
            i = nl == std::string::npos ? d.size() : nl + 1;
        }
        return i;
    }

    std::string new_text(kind k)
    {
        if (k == kind::prose)
            return paragraph();
        std::string s;
        for (uint32_t n = r.between(1, 6); n > 0; --n)
            s += code_line(1);
        return s;
    }

    // A few places per file, each an insertion, a deletion or a changed line:
    // the shape of a day's work on a source tree or a document.
    void edit_text(file& f)
    {
        std::string& d = f.data;
        for (uint32_t n = r.between(1, 5); n > 0 && !d.empty(); --n) {
            const size_t at = line_start(d, r.below(uint32_t(d.size())));
            switch (r.below(3)) {
            case 0: d.insert(at, new_text(f.k)); break;
            case 1: d.erase(at, skip_lines(d, at, r.between(1, 10)) - at); break;
            default: d.replace(at, skip_lines(d, at, 1) - at, new_text(f.k)); break;
            }
        }
    }

    void edit_records(file& f)
    {
        std::string& d = f.data;
        const uint32_t rows = uint32_t((d.size() - 4) / 64);
        for (uint32_t n = rows / 100 + 1; n > 0 && rows > 0; --n) {
            const size_t row = 4 + size_t(r.below(rows)) * 64;
            std::string fresh;
            record(fresh);
            d.replace(row + 8, 16, fresh, 8, 16);  // keep the id, change the values
        }
        const size_t grow = d.size() * r.below(50) / 1000;
        while (grow && d.size() % 64 != 4)
            d.push_back('\0');
        for (size_t end = d.size() + grow; d.size() < end;)
            record(d);
    }

    // A rebuilt binary: new code somewhere inside shifts everything after it,
    // and relocated offsets touch a byte every few KiB past that point.
    void edit_exe(file& f)
    {
        std::string& d = f.data;
        const size_t at = 16 + r.below(uint32_t(d.size() - 16));
        std::string fresh;
        code_bytes(fresh, r.between(64, 4096));
        d.insert(at, fresh);
        for (size_t i = at + fresh.size() + r.below(4096); i < d.size(); i += 1024 + r.below(6144))
            d[i] = char(d[i] + 1 + r.below(8));
    }

    void edit_log(file& f)
    {
        if (r.chance(100))
            f.data.clear();  // rotated: the old log moved away, a fresh one starts
        for (size_t end = f.data.size() + std::max<size_t>(f.data.size() / 16, 4096) * r.between(1, 2);
             f.data.size() < end;)
            f.data += log_line();
    }

    // Per-version chance (per mille) that a file of this kind changes.
    static uint32_t change_rate(kind k)
    {
        switch (k) {
        case kind::prose: return 100;
        case kind::code: return 150;
        case kind::log: return 900;
        case kind::records: return 300;
        case kind::exe: return 120;
        case kind::blob: return 20;
        }
        return 0;
    }

    void edit(file& f)
    {
        switch (f.k) {
        case kind::prose:
        case kind::code: edit_text(f); break;
        case kind::log: edit_log(f); break;
        case kind::records: edit_records(f); break;
        case kind::exe: edit_exe(f); break;
        case kind::blob: f.data = make(kind::blob, uint32_t(f.data.size())); break;  // re-encoded
        }
    }
};

struct tree {
    std::vector<file> files;
    std::set<std::string> paths;
    std::vector<std::vector<std::string>> dirs;  // per kind
};

std::string unique_path(gen& g, tree& t, kind k)
{
    const auto& ds = t.dirs[size_t(k)];
    for (;;) {
        std::string p = ds[g.r.below(uint32_t(ds.size()))];
        p += g.v.ident(g.r) + info(k).ext;
        if (p.size() <= 90 && t.paths.insert(p).second)
            return p;
    }
}

void add_file(gen& g, tree& t, kind k, uint32_t max_size, uint32_t mtime)
{
    const kind_info& ki = info(k);
    const uint32_t size = log_size(g.r, std::min(ki.min_size, max_size), std::min(ki.max_size, max_size));
    std::string path = unique_path(g, t, k);
    t.files.push_back(file{std::move(path), k, mtime, g.make(k, size)});
}

void sort_tree(tree& t)
{
    std::sort(t.files.begin(), t.files.end(), [](const file& a, const file& b) { return a.path < b.path; });
}

tree base_tree(gen& g, uint64_t bytes)
{
    tree t;
    for (const kind_info& ki : kinds) {
        std::vector<std::string> ds;
        for (uint32_t n = g.r.between(6, 20); n > 0; --n)
            ds.push_back(std::string(ki.top) + "/" + g.v.pick(g.r) + "/");
        t.dirs.push_back(std::move(ds));
    }
    // No single file may dwarf the tree, or small corpora would be one file.
    const uint32_t max_size = uint32_t(std::max<uint64_t>(bytes / 16, 4096));
    for (const kind_info& ki : kinds) {
        uint64_t made = 0;
        while (made < bytes * ki.share / 1000) {
            add_file(g, t, ki.k, max_size, g.clock);
            made += t.files.back().data.size();
        }
    }
    // A vendored copy of one source directory: duplicates inside one version.
    const std::string& from = t.dirs[size_t(kind::code)][0];
    const std::string to = "vendor/" + from;
    for (size_t i = 0, n = t.files.size(); i < n; ++i)
        if (t.files[i].path.starts_with(from)) {
            file copy = t.files[i];
            copy.path = to + copy.path.substr(from.size());
            if (t.paths.insert(copy.path).second)
                t.files.push_back(std::move(copy));
        }
    sort_tree(t);
    return t;
}

void next_version(gen& g, tree& t, uint32_t mtime, uint64_t base_bytes)
{
    for (file& f : t.files)
        if (g.r.chance(gen::change_rate(f.k))) {
            g.edit(f);
            f.mtime = mtime;
        }
    // Decided in a plain loop, so that the draws follow the file order.
    std::vector<file> kept;
    for (file& f : t.files) {
        if (g.r.chance(5))
            t.paths.erase(f.path);
        else
            kept.push_back(std::move(f));
    }
    t.files = std::move(kept);
    const uint32_t max_size = uint32_t(std::max<uint64_t>(base_bytes / 16, 4096));
    for (uint32_t n = uint32_t(t.files.size() / 250) + 1; n > 0; --n)
        add_file(g, t, kinds[g.r.below(std::size(kinds))].k, max_size, mtime);
    sort_tree(t);
}

// ---- Output ----

struct writer {
    FILE* out;
    const char* name;
    uint64_t written = 0;

    void put(const void* p, size_t n)
    {
        if (n && std::fwrite(p, 1, n, out) != n) {
            std::fprintf(stderr, "gen_corpus: %s: %s\n", name, std::strerror(errno));
            std::exit(1);
        }
        written += n;
    }
};

void octal(char* field, size_t width, uint64_t v)
{
    std::snprintf(field, width, "%0*llo", int(width - 1), static_cast<unsigned long long>(v));
}

// A plain ustar header, so that the stream has the framing (512-byte blocks,
// headers that differ only in size and time) of a real archive.
void put_header(writer& w, const std::string& path, uint64_t size, uint32_t mtime)
{
    char h[512] = {};
    std::memcpy(h, path.data(), std::min<size_t>(path.size(), 100));
    octal(h + 100, 8, 0644);
    octal(h + 108, 8, 1000);
    octal(h + 116, 8, 1000);
    octal(h + 124, 12, size);
    octal(h + 136, 12, mtime);
    std::memset(h + 148, ' ', 8);
    h[156] = '0';
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    std::memcpy(h + 265, "backup", 6);
    std::memcpy(h + 297, "backup", 6);
    unsigned sum = 0;
    for (unsigned char c : h)
        sum += c;
    std::snprintf(h + 148, 8, "%06o", sum);
    w.put(h, sizeof h);
}

uint64_t padded(uint64_t n) { return (n + 511) / 512 * 512; }

// Writes one version under its own top directory; false once the next file
// would pass the size limit.
bool put_version(writer& w, const tree& t, uint32_t version, uint64_t limit)
{
    static const char zeros[512] = {};
    const std::string top = "v" + std::to_string(version) + "/";
    for (const file& f : t.files) {
        if (w.written + 512 + padded(f.data.size()) + 1024 > limit)
            return false;
        put_header(w, top + f.path, f.data.size(), f.mtime);
        w.put(f.data.data(), f.data.size());
        w.put(zeros, padded(f.data.size()) - f.data.size());
    }
    return true;
}

uint64_t parse(const char* s, const char* what)
{
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (*s == '\0' || *end != '\0') {
        std::fprintf(stderr, "gen_corpus: %s: not a number: %s\n", what, s);
        std::exit(2);
    }
    return v;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: gen_corpus <out|-> <size MB> [seed] [versions]\n");
        return 2;
    }
    const uint64_t limit = parse(argv[2], "size") * 1'000'000;
    const uint64_t seed = argc > 3 ? parse(argv[3], "seed") : 1;
    const uint64_t versions = argc > 4 ? parse(argv[4], "versions") : 6;
    if (limit == 0 || versions == 0) {
        std::fprintf(stderr, "gen_corpus: size and versions must be positive\n");
        return 2;
    }
    const bool to_stdout = std::strcmp(argv[1], "-") == 0;
    FILE* out = to_stdout ? stdout : std::fopen(argv[1], "wb");
    if (!out) {
        std::fprintf(stderr, "gen_corpus: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    writer w{out, argv[1]};

    gen g(seed);
    // The base tree comes out a little larger than asked (whole files) and
    // grows from version to version, hence the margin.
    const uint64_t base_bytes = limit / versions * 85 / 100;
    tree t = base_tree(g, base_bytes);
    // Versions continue past the requested count if edits shrank the tree:
    // the size is the contract, the count is only the shape.
    for (uint32_t v = 0; !t.files.empty() && put_version(w, t, v, limit); ++v)
        next_version(g, t, 1'700'000'000 + (v + 1) * 86400, base_bytes);

    static const char end_blocks[1024] = {};
    w.put(end_blocks, sizeof end_blocks);
    if (std::fflush(out) != 0 || (!to_stdout && std::fclose(out) != 0)) {
        std::fprintf(stderr, "gen_corpus: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    return 0;
}
