// GFF3: features point to their parents by ID (Parent=a,b); a feature belongs to the gene at
// the top of its Parent chains. The file is read in one pass that keeps every ID with its
// parents and attribute values, and the features of the selected types; their genes are told
// afterwards, since children may come before their parents.
#include <cstdint>
#include <string>
#include <vector>

#include "annotation/attributes.hpp"
#include "annotation/format_readers.hpp"
#include "annotation/read_error.hpp"
#include "annotation/text_checks.hpp"

namespace dulse::annotation {

namespace {

constexpr int32_t kNone = -1;

struct Pending {
  long line;
  int32_t contig;  // into Gff3Reader::contigs_
  int32_t type;    // into Gff3Reader::types_
  int32_t start;
  int32_t end;
  int32_t ident;   // its ID, or kNone
  uint32_t parents_begin;
  uint32_t parents_count;
  uint32_t values_begin;  // one value per key, in values_of_
  char strand;
};

struct Undefined {
  int32_t id;
};
struct Cycle {
  int32_t id;
};

class Gff3Reader {
 public:
  Gff3Reader(ReadContext& context, const Selection& selection, TableBuilder& builder)
      : context_(context), selection_(selection), builder_(builder) {
    keys_ = selection.gene_attributes;
    keys_.insert(keys_.end(), selection.extra_attributes.begin(),
                 selection.extra_attributes.end());
    n_gene_ = selection.gene_attributes.size();
    found_.resize(keys_.size());
    line_values_.resize(keys_.size());
  }

  void read(LineReader& lines);
  void resolve();

 private:
  void read_attributes(long line, std::string_view column);
  int32_t define(int32_t ident);
  const std::vector<int32_t>& roots_of(int32_t ident, std::vector<int32_t>& out);
  std::string_view value(uint32_t begin, size_t key) const {
    int32_t v = values_of_[begin + key];
    return v == kNone ? std::string_view() : values_[v];
  }

  ReadContext& context_;
  const Selection& selection_;
  TableBuilder& builder_;
  std::vector<std::string> keys_;  // the gene attributes, then the extra ones
  size_t n_gene_;

  Interner ids_;        // every ID named, defined or only referred to
  Interner values_;     // attribute values
  Interner contigs_;
  Interner types_;
  std::vector<int32_t> defined_;       // per ID: its definition's values_begin, or kNone
  std::vector<uint32_t> parents_at_;   // per ID: where its parents begin in parent_pool_
  std::vector<uint32_t> parents_n_;
  std::vector<int32_t> parent_pool_;
  std::vector<int32_t> values_of_;     // per definition and per pending feature, one per key
  std::vector<Pending> pending_;

  // Roots already found, per ID: where they begin in root_pool_ (kNone: not yet).
  std::vector<int32_t> roots_at_;
  std::vector<uint32_t> roots_n_;
  std::vector<int32_t> root_pool_;
  std::vector<uint8_t> on_path_;

  // The attributes of the line being read.
  bool has_ident_ = false;
  std::string ident_;
  std::vector<int32_t> line_parents_;
  std::vector<bool> found_;
  std::vector<std::string> line_values_;
  std::string scratch_;
};

void Gff3Reader::read_attributes(long line, std::string_view column) {
  has_ident_ = false;
  line_parents_.clear();
  std::fill(found_.begin(), found_.end(), false);
  std::string parents_text;
  bool has_parents = false;
  AttributeScanner scanner(column);
  Attribute a;
  while (scanner.next(a)) {
    if (!a.has_value) {
      if (!a.whole.empty() && a.whole != ".") {
        context_.fail(line, "attribute " + quoted(a.whole) + " is not key=value");
      }
      continue;
    }
    std::string_view raw = attribute_value(a, scratch_);
    auto decoded = [&](std::string& out) {
      out.clear();
      if (raw.find('%') == std::string_view::npos) {
        out.assign(raw);
      } else {
        percent_decode(raw, out);
      }
    };
    if (a.key == "ID") {
      decoded(ident_);
      has_ident_ = true;
    } else if (a.key == "Parent") {
      parents_text.assign(raw);
      has_parents = true;
    }
    for (size_t k = 0; k < keys_.size(); ++k) {
      if (a.key == keys_[k]) {
        decoded(line_values_[k]);
        found_[k] = true;
      }
    }
  }
  if (has_parents) {
    std::string name;
    std::string_view rest = parents_text;
    for (;;) {
      size_t comma = rest.find(',');
      std::string_view one = rest.substr(0, comma);
      if (!one.empty()) {
        name.clear();
        if (one.find('%') == std::string_view::npos) {
          name.assign(one);
        } else {
          percent_decode(one, name);
        }
        line_parents_.push_back(ids_.intern(name));
      }
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
}

void Gff3Reader::read(LineReader& lines) {
  std::string_view line;
  std::string_view columns[9];
  while (lines.next(line)) {
    if (!line.empty() && line[0] == '#') {
      if (line.compare(0, 7, "##FASTA") == 0) break;
      continue;
    }
    if (browser_line(line)) continue;
    const long number = lines.number();
    const size_t n = split_columns(line, columns, 9);
    if (n != 9) {
      if (blank_line(line)) continue;
      context_.fail(number, "expected 9 tab-separated columns, found " + std::to_string(n));
    }
    read_attributes(number, columns[8]);
    int32_t ident = kNone;
    if (has_ident_ && !ident_.empty()) {
      ident = ids_.intern(ident_);
      if (static_cast<size_t>(ident) >= defined_.size()) defined_.resize(ident + 1, kNone);
      if (defined_[ident] == kNone) {
        if (parents_at_.size() <= static_cast<size_t>(ident)) {
          parents_at_.resize(ident + 1, 0);
          parents_n_.resize(ident + 1, 0);
        }
        parents_at_[ident] = static_cast<uint32_t>(parent_pool_.size());
        parents_n_[ident] = static_cast<uint32_t>(line_parents_.size());
        parent_pool_.insert(parent_pool_.end(), line_parents_.begin(), line_parents_.end());
        defined_[ident] = static_cast<int32_t>(values_of_.size());
        for (size_t k = 0; k < keys_.size(); ++k) {
          values_of_.push_back(found_[k] && !line_values_[k].empty()
                                   ? values_.intern(line_values_[k]) : kNone);
        }
      }
    }
    if (!selection_.selects(columns[2])) {
      context_.saw_type(columns[2]);
      continue;
    }
    Pending p;
    p.line = number;
    read_interval(context_, number, columns[3], columns[4], &p.start, &p.end);
    p.strand = read_place(context_, number, columns[0], columns[6]);
    p.contig = contigs_.intern(columns[0]);
    p.type = types_.intern(columns[2]);
    p.ident = ident;
    p.parents_begin = static_cast<uint32_t>(parent_pool_.size());
    p.parents_count = static_cast<uint32_t>(line_parents_.size());
    parent_pool_.insert(parent_pool_.end(), line_parents_.begin(), line_parents_.end());
    p.values_begin = static_cast<uint32_t>(values_of_.size());
    for (size_t k = 0; k < keys_.size(); ++k) {
      values_of_.push_back(found_[k] && !line_values_[k].empty()
                               ? values_.intern(line_values_[k]) : kNone);
    }
    pending_.push_back(p);
  }
}

// The genes (top-most ancestors) of an ID, found by a walk that needs no recursion, so that a
// chain of any length cannot exhaust the stack; every ID met keeps its roots for later.
const std::vector<int32_t>& Gff3Reader::roots_of(int32_t ident, std::vector<int32_t>& out) {
  const size_t n_ids = static_cast<size_t>(ids_.size());
  if (roots_at_.size() < n_ids) {
    roots_at_.resize(n_ids, kNone);
    roots_n_.resize(n_ids, 0);
    on_path_.resize(n_ids, 0);
    defined_.resize(n_ids, kNone);
  }
  auto known = [&](int32_t id) { return roots_at_[id] != kNone; };
  std::vector<int32_t> pending{ident}, path;
  struct Clear {
    std::vector<uint8_t>& flags;
    std::vector<int32_t>& path;
    ~Clear() {
      for (int32_t id : path) flags[id] = 0;
    }
  } clear{on_path_, path};
  while (!pending.empty()) {
    const int32_t current = pending.back();
    if (known(current)) {
      pending.pop_back();
      continue;
    }
    if (defined_[current] == kNone) throw Undefined{current};
    const int32_t* ups = parent_pool_.data() + parents_at_[current];
    const uint32_t n_ups = parents_n_[current];
    bool waiting = false;
    for (uint32_t k = 0; k < n_ups && !waiting; ++k) waiting = !known(ups[k]);
    if (!waiting) {
      pending.pop_back();
      on_path_[current] = 0;
      const auto begin = static_cast<int32_t>(root_pool_.size());
      if (n_ups == 0) {
        root_pool_.push_back(current);
      } else {
        for (uint32_t k = 0; k < n_ups; ++k) {
          for (uint32_t r = 0; r < roots_n_[ups[k]]; ++r) {
            const int32_t root = root_pool_[roots_at_[ups[k]] + r];
            bool seen = false;
            for (size_t s = static_cast<size_t>(begin); s < root_pool_.size() && !seen; ++s) {
              seen = root_pool_[s] == root;
            }
            if (!seen) root_pool_.push_back(root);
          }
        }
      }
      roots_at_[current] = begin;
      roots_n_[current] = static_cast<uint32_t>(root_pool_.size() - static_cast<size_t>(begin));
      continue;
    }
    if (on_path_[current]) throw Cycle{current};
    on_path_[current] = 1;
    path.push_back(current);
    for (uint32_t k = 0; k < n_ups; ++k) {
      if (known(ups[k])) continue;
      if (on_path_[ups[k]]) throw Cycle{ups[k]};
      pending.push_back(ups[k]);
    }
  }
  out.assign(root_pool_.begin() + roots_at_[ident],
             root_pool_.begin() + roots_at_[ident] + roots_n_[ident]);
  return out;
}

void Gff3Reader::resolve() {
  const size_t n_keys = keys_.size();
  std::vector<std::string> genes;                   // of one feature, in order
  std::vector<std::vector<std::string_view>> extras;  // per gene, its extra values
  std::vector<int32_t> roots;
  std::string gene;
  std::vector<std::string_view> parts(n_gene_);
  for (const Pending& p : pending_) {
    genes.clear();
    extras.clear();
    size_t absent = n_gene_;
    auto own = [&](size_t k) { return value(p.values_begin, k); };
    auto add_gene = [&](const std::vector<std::string_view>& gene_parts,
                        std::vector<std::string_view> extra_values) {
      gene.clear();
      for (size_t k = 0; k < n_gene_; ++k) {
        if (gene_parts[k].empty() && absent == n_gene_) absent = k;
        if (k > 0) gene += ':';
        gene += gene_parts[k];
      }
      genes.push_back(gene);
      extras.push_back(std::move(extra_values));
    };
    if (p.parents_count == 0) {
      for (size_t k = 0; k < n_gene_; ++k) {
        parts[k] = own(k);
        if (parts[k].empty() && p.ident != kNone && selection_.gene_attributes[k] == "gene_id") {
          parts[k] = ids_[p.ident];
        }
      }
      std::vector<std::string_view> extra_values;
      for (size_t k = n_gene_; k < n_keys; ++k) extra_values.push_back(own(k));
      add_gene(parts, std::move(extra_values));
    } else {
      try {
        for (uint32_t q = 0; q < p.parents_count; ++q) {
          const int32_t parent = parent_pool_[p.parents_begin + q];
          for (int32_t root : roots_of(parent, roots)) {
            const uint32_t at_root = static_cast<uint32_t>(defined_[root]);
            const uint32_t at_parent = static_cast<uint32_t>(defined_[parent]);
            for (size_t k = 0; k < n_gene_; ++k) {
              std::string_view v = value(at_root, k);
              if (v.empty()) v = own(k);
              if (v.empty()) v = value(at_parent, k);
              if (v.empty() && selection_.gene_attributes[k] == "gene_id") v = ids_[root];
              parts[k] = v;
            }
            std::vector<std::string_view> extra_values;
            for (size_t k = n_gene_; k < n_keys; ++k) {
              std::string_view v = own(k);
              if (v.empty()) v = value(at_parent, k);
              if (v.empty()) v = value(at_root, k);
              extra_values.push_back(v);
            }
            add_gene(parts, std::move(extra_values));
          }
        }
      } catch (const Undefined& undefined) {
        context_.missing(p.line, "its Parent " + quoted(ids_[undefined.id]) +
                                     " is not defined in the file");
        continue;
      } catch (const Cycle& cycle) {
        context_.fail(p.line, "the Parent chain through " + quoted(ids_[cycle.id]) + " is a loop");
      }
    }
    if (absent < n_gene_) {
      context_.missing(p.line, "no " + selection_.gene_attributes[absent] +
                                   " attribute on the " + std::string(types_[p.type]) +
                                   " or its gene");
      continue;
    }
    for (size_t g = 0; g < genes.size(); ++g) {
      bool repeated = false;
      for (size_t h = 0; h < g && !repeated; ++h) repeated = genes[h] == genes[g];
      if (!repeated) {
        builder_.add(contigs_[p.contig], p.start, p.end, genes[g], p.strand, p.line,
                     extras[g].data());
      }
    }
  }
}

}  // namespace

void read_gff3(LineReader& lines, ReadContext& context, const Selection& selection,
               TableBuilder& builder) {
  Gff3Reader reader(context, selection, builder);
  reader.read(lines);
  reader.resolve();
}

}  // namespace dulse::annotation
