// The card record's vCard text as people read and type it: values unescaped for display and
// escaped again from what is typed, structured values split into their parts, and the kind of
// a phone, e-mail, address or web address (Mobile, Work, ...) in place of TYPE words and labels.
'use strict';

const CardText = (() => {
  // The escapes of vCard text. A backslash before any other character (Gmail writes \" in
  // notes, some programs \:) reads as that character; a backslash at the very end stays.
  function unescape(text) {
    if (typeof text !== 'string' || !text.includes('\\')) return typeof text === 'string' ? text : '';
    return text.replace(/\\([^])/g, (_, c) => (c === 'n' || c === 'N' ? '\n' : c));
  }

  // A web address as written by programs that escape it like text (some escape ':' as well).
  // Web addresses are URIs, so what people type goes into the record as typed.
  function uriText(text) {
    return typeof text === 'string' ? text.replace(/\\([\\,;:])/g, '$1') : '';
  }

  function escape(text) {
    return String(text).replace(/[\\,;]/g, (c) => '\\' + c).replace(/\r\n|\r|\n/g, '\\n');
  }

  // A date as people read it: phones often store the compact form (19800321), shown here as
  // 1980-03-21. Anything else (a time, a year left out, free text) is shown as its text.
  function dateText(text) {
    const compact = /^(\d{4})(\d{2})(\d{2})$/.exec(text);
    return compact ? compact.slice(1).join('-') : unescape(text);
  }

  // The parts of a structured value (N, ORG, ADR) split at each ';' that is not escaped; each
  // part is still escaped text.
  function splitParts(value) {
    const parts = [];
    let start = 0;
    for (let i = 0; i < value.length; ++i) {
      if (value[i] === '\\') ++i;
      else if (value[i] === ';') {
        parts.push(value.slice(start, i));
        start = i + 1;
      }
    }
    parts.push(value.slice(start));
    return parts;
  }

  // ---- Organisation: "Organisation;Unit;Subunit" ----

  function orgParts(org) {
    const raw = splitParts(typeof org === 'string' ? org : '');
    return {name: unescape(raw[0]), units: raw.slice(1).map(unescape).filter((u) => u.trim() !== ''), raw};
  }

  // The organisation with a new name and first unit (null keeps a part as stored); later units
  // stay exactly as stored, and empty parts at the end are dropped.
  function orgValue(original, name, unit) {
    const raw = splitParts(typeof original === 'string' ? original : '');
    if (name !== null) raw[0] = escape(name);
    if (unit !== null) raw[1] = escape(unit);
    for (let i = 0; i < raw.length; ++i) if (raw[i] === undefined) raw[i] = '';
    while (raw.length > 1 && raw[raw.length - 1] === '') raw.pop();
    return raw.join(';');
  }

  // ---- Address: "pobox;extended;street;locality;region;postal code;country" ----

  const ADDRESS_PARTS = ['pobox', 'extended', 'street', 'locality', 'region', 'code', 'country'];

  // The seven parts unescaped. A value without any ';' is the street alone.
  function addressParts(data) {
    const value = typeof data === 'string' ? data : '';
    const raw = splitParts(value);
    const parts = {};
    ADDRESS_PARTS.forEach((name, i) => { parts[name] = raw.length === 1 ? '' : unescape(raw[i] || ''); });
    if (raw.length === 1) parts.street = unescape(value);
    return parts;
  }

  // The address value from typed parts; parts past the seventh stay as stored.
  function addressValue(original, parts) {
    const raw = splitParts(typeof original === 'string' ? original : '');
    const extra = raw.length > ADDRESS_PARTS.length ? raw.slice(ADDRESS_PARTS.length) : [];
    const typed = ADDRESS_PARTS.map((name) => escape(parts[name] || ''));
    if (!typed.some((part) => part.trim() !== '') && !extra.length) return '';
    return typed.concat(extra).join(';');
  }

  // The address as lines of text, as an envelope shows it.
  function addressLines(data) {
    const p = addressParts(data);
    const town = [p.locality, p.region, p.code].map((s) => s.trim()).filter(Boolean).join(' ');
    return [p.pobox, p.extended, p.street, town, p.country].map((s) => s.trim()).filter(Boolean);
  }

  // ---- Kinds ----

  const FIXED_LABEL = {tel: 'TEL', mail: 'EMAIL', adr: 'ADR', url: 'URL'};
  const KINDS = {
    tel: ['mobile', 'home', 'work', 'main', 'fax', 'pager', 'other'],
    mail: ['home', 'work', 'other'],
    adr: ['home', 'work', 'other'],
    url: ['home', 'work', 'other'],
  };
  const KIND_WORD = {mobile: 'Mobile', home: 'Home', work: 'Work', main: 'Main', fax: 'Fax', pager: 'Pager',
    other: 'Other'};
  // The TYPE value a kind writes; "Other" writes none.
  const TYPE_OF = {mobile: 'CELL', home: 'HOME', work: 'WORK', main: 'MAIN', fax: 'FAX', pager: 'PAGER', other: ''};
  // The TYPE values the chooser stands for. A new kind replaces these and keeps every other
  // value (VOICE, INTERNET, POSTAL, X-..., pref) where it was.
  const MODELLED = {
    tel: new Set(['CELL', 'MOBILE', 'IPHONE', 'HOME', 'WORK', 'MAIN', 'FAX', 'PAGER', 'OTHER']),
    mail: new Set(['HOME', 'WORK', 'OTHER']),
    adr: new Set(['HOME', 'WORK', 'OTHER']),
    url: new Set(['HOME', 'WORK', 'OTHER']),
  };
  // Label words that address books write for these kinds (compared without case and spaces).
  const LABEL_KIND = {mobile: 'mobile', cell: 'mobile', iphone: 'mobile', home: 'home', work: 'work',
    main: 'main', fax: 'fax', homefax: 'fax', workfax: 'fax', otherfax: 'fax', pager: 'pager',
    other: 'other', homepage: 'home'};
  // The type a new entry carries when its kind writes none, so it reads as what it is.
  const PLAIN_TYPE = {tel: 'VOICE', mail: 'INTERNET', adr: '', url: ''};

  const upper = (t) => (typeof t === 'string' ? t.toUpperCase() : '');
  const types = (entry) => (Array.isArray(entry.type) ? entry.type : []);

  // A label as address books write it: "_$!<Home>!$_" is the word Home.
  function labelWord(text) {
    const open = text.indexOf('<');
    const close = text.indexOf('>', open + 1);
    return text.startsWith('_$!<') && close > open ? text.slice(open + 1, close) : text;
  }

  // The value of the line "<group>.<name>:" among the record's unmapped lines, or null.
  function groupLine(other, group, name) {
    if (typeof other !== 'string' || !group) return null;
    const head = (group + '.' + name + ':').toUpperCase();
    for (const line of other.split(/\r\n|\r|\n/)) {
      if (line.toUpperCase().startsWith(head)) return line.slice(head.length);
    }
    return null;
  }

  // The entry's own label, null when it has none. An address's X-ABADR country code shares
  // the group's label slot in the record; it is no label.
  function labelOf(entry, kind, other) {
    const label = entry.cust_name;
    if (typeof label !== 'string' || label === '' || label === FIXED_LABEL[kind]) return null;
    const key = typeof entry.key === 'string' ? entry.key : '';
    const group = key.includes('.') ? key.slice(0, key.indexOf('.')) : '';
    if (kind === 'adr' && group) {
      const code = groupLine(other, group, 'X-ABADR');
      if (code !== null && code.trim().toUpperCase() === label.trim().toUpperCase()) {
        const own = groupLine(other, group, 'X-ABLabel');
        return own ? unescape(labelWord(own)) : null;
      }
    }
    return unescape(label);
  }

  // What the chooser shows for a stored entry: {kind, label, preferred, labelled}; `kind` is
  // one of KINDS[kind] or "custom" with the label as written; `labelled` when a label gave it.
  function kindOf(entry, kind, other) {
    const words = new Set(types(entry).map(upper));
    const preferred = words.has('PREF');
    const label = labelOf(entry, kind, other);
    if (label !== null) {
      const known = LABEL_KIND[label.replace(/\s+/g, '').toLowerCase()];
      if (known && KINDS[kind].includes(known)) return {kind: known, label: '', preferred, labelled: true};
      return {kind: 'custom', label, preferred, labelled: true};
    }
    const order = kind === 'tel'
      ? [['FAX', 'fax'], ['PAGER', 'pager'], ['CELL', 'mobile'], ['MOBILE', 'mobile'], ['IPHONE', 'mobile'],
        ['MAIN', 'main'], ['WORK', 'work'], ['HOME', 'home']]
      : [['WORK', 'work'], ['HOME', 'home']];
    for (const [word, found] of order) {
      if (words.has(word)) return {kind: found, label: '', preferred, labelled: false};
    }
    return {kind: 'other', label: '', preferred, labelled: false};
  }

  // The words the card view shows for an entry: "Mobile", "Work, preferred", a custom label.
  function kindText(entry, kind, other) {
    const shown = kindOf(entry, kind, other);
    const word = shown.kind === 'custom' ? shown.label : KIND_WORD[shown.kind];
    return shown.preferred ? word + ', preferred' : word;
  }

  // `entry` (a copy of the stored one, or a new one) with the chosen kind and preferred mark.
  // `before` is what the chooser showed; only what differs from it is changed, so an entry
  // whose chooser was not touched keeps its `type` and `cust_name` as they came.
  function applyKind(entry, kind, chosen, before) {
    const isNew = !before;
    const was = before || {kind: '', label: '', preferred: false, labelled: false};
    const kindChanged = chosen.kind !== was.kind || (chosen.kind === 'custom' && chosen.label !== was.label);
    let list = types(entry).slice();
    if (kindChanged) {
      const kept = [];
      let at = -1;
      for (const t of list) {
        if (MODELLED[kind].has(upper(t))) {
          if (at < 0) at = kept.length;
        } else {
          kept.push(t);
        }
      }
      const word = chosen.kind === 'custom' ? '' : TYPE_OF[chosen.kind];
      if (word) kept.splice(at < 0 ? 0 : at, 0, word);
      list = kept;
      // A labelled entry gets the kind's word as its label, so that label and types agree.
      if (chosen.kind === 'custom') entry.cust_name = escape(chosen.label);
      else if (was.labelled) entry.cust_name = KIND_WORD[chosen.kind];
    }
    if (chosen.preferred !== was.preferred) {
      list = list.filter((t) => upper(t) !== 'PREF');
      if (chosen.preferred) list.push('pref');
    }
    if (isNew && PLAIN_TYPE[kind] && !list.some((t) => upper(t) !== 'PREF')) list.unshift(PLAIN_TYPE[kind]);
    if (list.length || Array.isArray(entry.type)) entry.type = list;
    return entry;
  }

  // ---- Properties kept whole in the record's `other` ----

  // The lines of `other` named `name` (any group, any case), each as {params, value}; `params`
  // upper-cased for matching.
  function otherLines(other, name) {
    if (typeof other !== 'string' || !other) return [];
    const found = [];
    const wanted = name.toUpperCase();
    for (const line of other.split(/\r\n|\r|\n/)) {
      const colon = line.indexOf(':');
      if (colon < 0) continue;
      const head = line.slice(0, colon).toUpperCase();
      const semi = head.indexOf(';');
      const full = semi < 0 ? head : head.slice(0, semi);
      if (full !== wanted && !full.endsWith('.' + wanted)) continue;
      found.push({params: semi < 0 ? '' : head.slice(semi + 1), value: line.slice(colon + 1)});
    }
    return found;
  }

  // The groups of a card from its CATEGORIES lines: the values split at each ',' that is not
  // escaped, each still escaped text, in order and without repeats or empty names.
  function categoriesOf(other) {
    const seen = new Set();
    const list = [];
    for (const line of otherLines(other, 'CATEGORIES')) {
      let start = 0;
      const value = line.value;
      const take = (end) => {
        const part = value.slice(start, end).trim();
        if (part && !seen.has(part)) {
          seen.add(part);
          list.push(part);
        }
      };
      for (let i = 0; i < value.length; ++i) {
        if (value[i] === '\\') ++i;
        else if (value[i] === ',') {
          take(i);
          start = i + 1;
        }
      }
      take(value.length);
    }
    return list;
  }

  // Base64 as browsers decode it: without white space, and padded to whole groups. Programs
  // write one '=' too many (BlackBerry) or none at all.
  function base64Padded(text) {
    let data = text.replace(/[^A-Za-z0-9+/]/g, '');
    if (data.length % 4 === 1) data = data.slice(0, -1);
    return data.length % 4 ? data + '='.repeat(4 - (data.length % 4)) : data;
  }

  const IMAGE_TYPES = {JPEG: 'image/jpeg', JPG: 'image/jpeg', PNG: 'image/png', GIF: 'image/gif'};

  // The photo of a card as a data: URI from its PHOTO line in any of its forms (2.1 BASE64,
  // 3.0 ENCODING=b, 4.0 data: URI), or '' when there is none or only an outside address, which
  // is never fetched: the server there would learn who looks at the card.
  function photoDataUri(other) {
    for (const line of otherLines(other, 'PHOTO')) {
      const value = line.value.trim();
      if (/^data:image\/(jpeg|png|gif);base64,/i.test(value)) return value.replace(/\s+/g, '');
      const params = line.params.split(';');
      const inline = params.some((p) => p === 'BASE64' || p === 'ENCODING=B' || p === 'ENCODING=BASE64');
      if (!inline || !value) continue;
      let type = 'image/jpeg';
      for (const p of params) {
        const word = p.startsWith('TYPE=') ? p.slice(5) : p;
        if (IMAGE_TYPES[word]) type = IMAGE_TYPES[word];
      }
      const data = base64Padded(value);
      // The type from the bytes themselves where a program named none or the wrong one.
      if (data.startsWith('iVBOR')) type = 'image/png';
      else if (data.startsWith('R0lG')) type = 'image/gif';
      else if (data.startsWith('/9j/')) type = 'image/jpeg';
      if (data) return 'data:' + type + ';base64,' + data;
    }
    return '';
  }

  return {otherLines, categoriesOf, photoDataUri, unescape, uriText, escape, dateText, splitParts, orgParts, orgValue, ADDRESS_PARTS, addressParts, addressValue,
    addressLines, FIXED_LABEL, KINDS, KIND_WORD, kindOf, kindText, applyKind};
})();
