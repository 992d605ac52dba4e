// The contacts pages: who is signed in, the list of an address book with its search, the card
// view and editor, delete, import and download, and the server settings for "admin".
// Contact data is untrusted: it only ever reaches the page as text nodes and attribute values.
'use strict';

(() => {
  const {call, describe, ApiError} = Lumidex;
  const CONTACTS = 'ORVA.ContactAndCalendar.Contacts';
  const COMMON = 'ORVA.ContactAndCalendar.Common';
  const SEARCH_DELAY_MS = 120;
  const OVERSCAN = 8;

  const $ = (id) => document.getElementById(id);

  // Builds an element: attributes (with "class", "text", "on..." handlers) and children, which
  // may be nodes or texts.
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attrs || {})) {
      if (value === undefined || value === null || value === false) continue;
      if (name === 'class') node.className = value;
      else if (name === 'text') node.textContent = value;
      else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
      else node.setAttribute(name, value === true ? '' : String(value));
    }
    for (const child of children) {
      if (child === null || child === undefined || child === false) continue;
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
  }

  const state = {
    me: '',
    admin: false,
    book: '',           // whose address book is listed
    cards: [],          // every card of the book, sorted for display
    shown: [],          // the cards the list shows now
    selected: new Set(), // ids (resource names) of selected cards
    active: -1,         // keyboard position in `shown`
    search: '',         // text of the search box the list reflects
    searchSeq: 0,
    searchAbort: null,
    searchTimer: 0,
    listSeq: 0,
    rowHeight: 44,
    opened: null,       // the card shown in the card view
    editing: null,      // the stored card being edited, null for a new one
  };

  // ---- Messages -------------------------------------------------------------------------------

  function showError(text) {
    $('message-text').textContent = text;
    $('message').hidden = false;
  }

  function clearError() {
    $('message').hidden = true;
    $('message-text').textContent = '';
  }

  let noticeTimer = 0;
  function notify(text) {
    const notice = $('notice');
    notice.textContent = text;
    notice.hidden = false;
    clearTimeout(noticeTimer);
    noticeTimer = setTimeout(() => { notice.hidden = true; }, 8000);
  }

  // A failed call: a lost session goes back to the sign-in page, anything else is shown.
  function failed(error, what) {
    if (error && error.name === 'AbortError') return;
    if (error instanceof ApiError && error.code === 108) {
      location.assign('/login.html?expired=1');
      return;
    }
    showError((what ? what + ': ' : '') + describe(error));
  }

  // ---- Card texts -----------------------------------------------------------------------------

  const FIXED_LABEL = {tel: 'TEL', mail: 'EMAIL', adr: 'ADR', url: 'URL'};
  const KIND_NAME = {tel: 'Phone', mail: 'E-mail', adr: 'Address', url: 'Web address'};

  const str = (value) => (typeof value === 'string' ? value : '');
  const entries = (card, kind) => (Array.isArray(card[kind]) ? card[kind] : []);
  const firstData = (card, kind) => {
    for (const entry of entries(card, kind)) {
      if (entry && str(entry.data)) return str(entry.data);
    }
    return '';
  };

  // Lower case for the letters A to Z only, as the server's search compares.
  function asciiLower(text) {
    return /[A-Z]/.test(text) ? text.replace(/[A-Z]+/g, (s) => s.toLowerCase()) : text;
  }

  function displayName(card) {
    const name = card.name && typeof card.name === 'object' ? card.name : {};
    const parts = [str(name.given_name), str(name.additional_name), str(name.family_name)]
      .filter((part) => part.trim() !== '');
    return parts.join(' ');
  }

  // The display fields of a listed card, worked out once per listing.
  function prepare(card) {
    const name = displayName(card);
    const company = card.company && typeof card.company === 'object' ? card.company : {};
    const org = str(company.org);
    const mail = firstData(card, 'mail');
    const tel = firstData(card, 'tel');
    const shownName = name || org || mail || tel || '(no name)';
    const nameObj = card.name && typeof card.name === 'object' ? card.name : {};
    // What the server's search looks at, lowered the same way.
    const haystack = [str(nameObj.family_name), str(nameObj.given_name), org, str(company.title)];
    for (const entry of entries(card, 'mail')) haystack.push(str(entry && entry.data));
    for (const entry of entries(card, 'tel')) haystack.push(str(entry && entry.data));
    return {
      card,
      id: str(card.id),
      name: shownName,
      org,
      tel,
      mail,
      sortKey: shownName.toLocaleLowerCase(),
      haystack: haystack.map(asciiLower),
    };
  }

  const collator = new Intl.Collator(undefined, {sensitivity: 'base', numeric: true});
  function sortCards(items) {
    return items.sort((a, b) => collator.compare(a.sortKey, b.sortKey) || (a.id < b.id ? -1 : a.id > b.id ? 1 : 0));
  }

  function matches(item, loweredKey) {
    for (const text of item.haystack) {
      if (text.includes(loweredKey)) return true;
    }
    return false;
  }

  // ---- The list -------------------------------------------------------------------------------

  const list = $('list');
  const spacer = $('list-spacer');

  function readRowHeight() {
    const value = parseFloat(getComputedStyle(list).getPropertyValue('--row-h'));
    state.rowHeight = value > 0 ? value : 44;
  }

  function rowId(index) {
    return 'contact-row-' + index;
  }

  // Rows on screen by their index in `shown`. A row is kept while it shows the same card, so
  // a click that moves the keyboard position does not lose the element it started on.
  let rendered = new Map();

  function updateRow(row, index) {
    const selected = state.selected.has(row.item.id);
    row.className = 'row' + (index === state.active ? ' active' : '') + (selected ? ' selected' : '');
    row.setAttribute('aria-selected', selected ? 'true' : 'false');
    row.setAttribute('aria-setsize', state.shown.length);
    row.firstChild.firstChild.checked = selected;
  }

  function makeRow(index) {
    const item = state.shown[index];
    const row = el('div', {
      role: 'option',
      id: rowId(index),
      'aria-posinset': index + 1,
      'data-index': index,
    });
    row.item = item;
    row.style.transform = 'translateY(' + index * state.rowHeight + 'px)';
    const box = el('input', {type: 'checkbox', tabindex: '-1', 'aria-hidden': 'true', class: 'row-check'});
    row.append(
      el('span', {class: 'col-check'}, box),
      el('span', {class: 'col-name', text: item.name}),
      el('span', {class: 'col-company', text: item.org}),
      el('span', {class: 'col-tel', text: item.tel}),
      el('span', {class: 'col-mail', text: item.mail}),
    );
    updateRow(row, index);
    return row;
  }

  function renderRows() {
    const count = state.shown.length;
    const height = state.rowHeight;
    spacer.style.height = count * height + 'px';
    const top = list.scrollTop;
    const first = Math.max(0, Math.floor(top / height) - OVERSCAN);
    const last = Math.min(count, Math.ceil((top + list.clientHeight) / height) + OVERSCAN);
    const next = new Map();
    const added = document.createDocumentFragment();
    for (let i = first; i < last; ++i) {
      let row = rendered.get(i);
      if (row && row.item === state.shown[i] && row.rowHeight === height) {
        rendered.delete(i);
        updateRow(row, i);
      } else {
        row = makeRow(i);
        row.rowHeight = height;
        added.append(row);
      }
      next.set(i, row);
    }
    for (const row of rendered.values()) row.remove();
    spacer.append(added);
    rendered = next;
    if (state.active >= 0 && state.active < count) {
      list.setAttribute('aria-activedescendant', rowId(state.active));
    } else {
      list.removeAttribute('aria-activedescendant');
    }
  }

  let renderPending = false;
  function scheduleRender() {
    if (renderPending) return;
    renderPending = true;
    requestAnimationFrame(() => {
      renderPending = false;
      renderRows();
    });
  }

  function plural(n, one, many) {
    return n + ' ' + (n === 1 ? one : many);
  }

  function updateSummary() {
    const total = state.cards.length;
    const shown = state.shown.length;
    let text = state.search
      ? shown + ' of ' + plural(total, 'contact', 'contacts') + ' match'
      : plural(total, 'contact', 'contacts');
    if (state.selected.size) text += ', ' + state.selected.size + ' selected';
    $('count').textContent = text;

    const empty = $('list-empty');
    if (shown === 0) {
      empty.textContent = state.search
        ? 'No contact matches "' + state.search + '".'
        : 'No contacts yet. Add one with "New contact" or import a .vcf file.';
      empty.hidden = false;
    } else {
      empty.hidden = true;
    }

    const n = state.selected.size;
    $('export-selected').disabled = n === 0;
    $('delete-selected').disabled = n === 0;
    $('export-selected').textContent = n ? 'Download selected (' + n + ')' : 'Download selected';
    $('delete-selected').textContent = n ? 'Delete selected (' + n + ')' : 'Delete selected';

    const all = $('select-all');
    let inShown = 0;
    if (n) for (const item of state.shown) if (state.selected.has(item.id)) ++inShown;
    all.checked = shown > 0 && inShown === shown;
    all.indeterminate = inShown > 0 && inShown < shown;
    all.disabled = shown === 0;
  }

  // Shows `items` in the list, keeping the scroll position when asked to.
  function show(items, keepPosition) {
    state.shown = items;
    if (!keepPosition) {
      list.scrollTop = 0;
      state.active = items.length && document.activeElement === list ? 0 : -1;
    } else if (state.active >= items.length) {
      state.active = items.length - 1;
    }
    renderRows();
    updateSummary();
  }

  function setBusy(busy) {
    list.setAttribute('aria-busy', busy ? 'true' : 'false');
  }

  function bookParams(extra) {
    return Object.assign({user: state.book}, extra || {});
  }

  // Loads the whole address book, then the search's answer when a search is on.
  async function loadList(keepPosition) {
    const seq = ++state.listSeq;
    setBusy(true);
    let data;
    try {
      data = await call(CONTACTS, 'list_cards', bookParams());
    } catch (error) {
      if (seq === state.listSeq) setBusy(false);
      failed(error, 'The contacts could not be listed');
      return false;
    }
    if (seq !== state.listSeq) return false;
    const cards = data && Array.isArray(data.cards) ? data.cards : [];
    state.cards = sortCards(cards.filter((card) => card && typeof card === 'object').map(prepare));
    const ids = new Set(state.cards.map((item) => item.id));
    for (const id of [...state.selected]) if (!ids.has(id)) state.selected.delete(id);
    if (state.search) {
      show(localMatches(state.search), keepPosition);
      searchNow(keepPosition);
    } else {
      show(state.cards, keepPosition);
      setBusy(false);
    }
    performance.mark('contacts-list-ready');
    return true;
  }

  function localMatches(text) {
    const key = asciiLower(text);
    return state.cards.filter((item) => matches(item, key));
  }

  // The server's answer for the search box's text. The list already shows the same filter
  // worked out here; the answer replaces it, so the server has the last word.
  async function searchNow(keepPosition) {
    clearTimeout(state.searchTimer);
    if (state.searchAbort) state.searchAbort.abort();
    const text = state.search;
    const seq = ++state.searchSeq;
    if (!text) {
      setBusy(false);
      return;
    }
    const abort = new AbortController();
    state.searchAbort = abort;
    setBusy(true);
    let data;
    try {
      // As JSON, so that a search for digits or "true" stays a text.
      data = await call(CONTACTS, 'list_cards', bookParams({search_key: JSON.stringify(text)}), abort.signal);
    } catch (error) {
      if (seq === state.searchSeq) {
        setBusy(false);
        failed(error, 'The search failed');
      }
      return;
    }
    if (seq !== state.searchSeq) return;
    state.searchAbort = null;
    const cards = data && Array.isArray(data.cards) ? data.cards : [];
    show(sortCards(cards.filter((card) => card && typeof card === 'object').map(prepare)), keepPosition);
    setBusy(false);
    performance.mark('contacts-search-answer');
  }

  function onSearchInput() {
    const text = $('search').value;
    if (text === state.search) return;
    state.search = text;
    state.active = -1;
    show(text ? localMatches(text) : state.cards, false);
    performance.mark('contacts-search-filtered');
    clearTimeout(state.searchTimer);
    if (state.searchAbort) state.searchAbort.abort();
    if (!text) {
      ++state.searchSeq;
      setBusy(false);
      return;
    }
    setBusy(true);
    // The page's own filter has placed the list already; the answer keeps that place.
    state.searchTimer = setTimeout(() => searchNow(true), SEARCH_DELAY_MS);
  }

  // ---- Keyboard and pointer on the list -------------------------------------------------------

  function moveActive(index) {
    const count = state.shown.length;
    if (!count) return;
    index = Math.max(0, Math.min(count - 1, index));
    state.active = index;
    const height = state.rowHeight;
    const top = index * height;
    if (top < list.scrollTop) list.scrollTop = top;
    else if (top + height > list.scrollTop + list.clientHeight) list.scrollTop = top + height - list.clientHeight;
    renderRows();
  }

  function toggle(index) {
    const item = state.shown[index];
    if (!item) return;
    if (state.selected.has(item.id)) state.selected.delete(item.id);
    else state.selected.add(item.id);
    renderRows();
    updateSummary();
  }

  list.addEventListener('keydown', (event) => {
    const page = Math.max(1, Math.floor(list.clientHeight / state.rowHeight) - 1);
    const at = state.active;
    switch (event.key) {
      case 'ArrowDown': moveActive(at + 1); break;
      case 'ArrowUp': moveActive(at < 0 ? 0 : at - 1); break;
      case 'PageDown': moveActive(at + page); break;
      case 'PageUp': moveActive(at - page); break;
      case 'Home': moveActive(0); break;
      case 'End': moveActive(state.shown.length - 1); break;
      case ' ': if (at >= 0) toggle(at); break;
      case 'Enter': if (at >= 0) openCard(state.shown[at]); break;
      case 'Delete': deleteSelected(); break;
      default: return;
    }
    event.preventDefault();
  });

  // The keyboard starts at the first row in view, not at the top of a scrolled list.
  list.addEventListener('focus', () => {
    if (state.active < 0 && state.shown.length) moveActive(Math.ceil(list.scrollTop / state.rowHeight));
  });

  // A pointer on a row moves the keyboard position there and keeps the focus on the list
  // (not on the row's check box), so that the keys go on from where the person clicked.
  list.addEventListener('mousedown', (event) => {
    const row = event.target.closest('.row');
    if (!row) return;
    event.preventDefault();
    state.active = Number(row.dataset.index);
    list.focus({preventScroll: true});
  });

  list.addEventListener('click', (event) => {
    const row = event.target.closest('.row');
    if (!row) return;
    const index = Number(row.dataset.index);
    state.active = index;
    if (event.target.closest('.col-check')) toggle(index);
    else openCard(state.shown[index]);
  });

  list.addEventListener('scroll', scheduleRender, {passive: true});
  window.addEventListener('resize', () => {
    readRowHeight();
    scheduleRender();
  });

  $('select-all').addEventListener('change', (event) => {
    const on = event.target.checked;
    for (const item of state.shown) {
      if (on) state.selected.add(item.id);
      else state.selected.delete(item.id);
    }
    renderRows();
    updateSummary();
  });

  $('search').addEventListener('input', onSearchInput);
  $('search').addEventListener('keydown', (event) => {
    if (event.key === 'ArrowDown' && state.shown.length) {
      event.preventDefault();
      list.focus();
    } else if (event.key === 'Enter') {
      event.preventDefault();
      searchNow(true);
    }
  });

  // ---- Dialogs --------------------------------------------------------------------------------

  const returnFocus = new Map();
  function openDialog(dialog) {
    returnFocus.set(dialog, document.activeElement);
    if (!dialog.open) dialog.showModal();
  }
  function closeDialog(dialog) {
    if (dialog.open) dialog.close();
  }
  for (const dialog of document.querySelectorAll('dialog')) {
    dialog.addEventListener('close', () => {
      const back = returnFocus.get(dialog);
      returnFocus.delete(dialog);
      if (back && document.contains(back) && typeof back.focus === 'function') back.focus();
    });
    dialog.addEventListener('click', (event) => {
      if (event.target.closest('[data-close]')) closeDialog(dialog);
    });
  }

  // Asks before something that cannot be undone; resolves to true when confirmed.
  function confirmAction(text, yesLabel) {
    const dialog = $('confirm-dialog');
    $('confirm-text').textContent = text;
    $('confirm-yes').textContent = yesLabel;
    return new Promise((resolve) => {
      const done = (answer) => {
        $('confirm-yes').removeEventListener('click', yes);
        $('confirm-no').removeEventListener('click', no);
        dialog.removeEventListener('cancel', no);
        closeDialog(dialog);
        resolve(answer);
      };
      const yes = () => done(true);
      const no = (event) => { if (event) event.preventDefault(); done(false); };
      $('confirm-yes').addEventListener('click', yes);
      $('confirm-no').addEventListener('click', no);
      dialog.addEventListener('cancel', no);
      openDialog(dialog);
      $('confirm-no').focus();
    });
  }

  // ---- Card view ------------------------------------------------------------------------------

  // An entry's label and types as one text: "Work, INTERNET".
  function entryTags(entry, kind) {
    const tags = [];
    const label = entry.cust_name;
    if (typeof label === 'string' && label && label !== FIXED_LABEL[kind]) tags.push(label);
    if (Array.isArray(entry.type)) for (const t of entry.type) if (typeof t === 'string' && t) tags.push(t);
    return tags.join(', ');
  }

  // A stored address value, ";"-separated, as lines of text.
  function addressText(data) {
    const parts = splitAddress(data).map((part) => part.trim()).filter(Boolean);
    return parts.join(', ');
  }

  // Splits at ";" not escaped by a backslash; an escaped one stays in its part.
  function splitAddress(data) {
    const parts = [''];
    for (let i = 0; i < data.length; ++i) {
      const c = data[i];
      if (c === '\\' && i + 1 < data.length) {
        parts[parts.length - 1] += c + data[i + 1];
        ++i;
      } else if (c === ';') {
        parts.push('');
      } else {
        parts[parts.length - 1] += c;
      }
    }
    return parts;
  }

  // A vCard note with its escaped line breaks shown as line breaks.
  function noteText(note) {
    return note.replace(/\\[nN]/g, '\n');
  }

  function entryValueNode(entry, kind) {
    const data = str(entry.data);
    if (kind === 'mail') return el('a', {href: 'mailto:' + data, text: data});
    if (kind === 'tel') return el('a', {href: 'tel:' + data.replace(/[^0-9+*#,;]/g, ''), text: data});
    // Only web addresses become links: a "javascript:" value stays text.
    if (kind === 'url' && /^https?:\/\//i.test(data)) {
      return el('a', {href: data, text: data, rel: 'noopener noreferrer', target: '_blank'});
    }
    if (kind === 'adr') return el('span', {text: addressText(data)});
    return el('span', {text: data});
  }

  function openCard(item) {
    if (!item) return;
    const card = item.card;
    state.opened = item;
    $('card-title').textContent = item.name;
    const fields = $('card-fields');
    const rows = [];
    const add = (term, ...values) => {
      rows.push(el('dt', {text: term}));
      for (const value of values) rows.push(el('dd', {}, value));
    };
    const name = card.name && typeof card.name === 'object' ? card.name : {};
    const nameText = [str(name.given_name), str(name.additional_name), str(name.family_name)]
      .filter((part) => part.trim()).join(' ');
    if (nameText) add('Name', nameText);
    const company = card.company && typeof card.company === 'object' ? card.company : {};
    if (str(company.org)) add('Company', str(company.org));
    if (str(company.title)) add('Job title', str(company.title));
    const headings = {tel: 'Phones', mail: 'E-mail', adr: 'Addresses', url: 'Web addresses'};
    for (const kind of ['tel', 'mail', 'adr', 'url']) {
      const list = entries(card, kind).filter((entry) => entry && str(entry.data));
      if (!list.length) continue;
      add(headings[kind], ...list.map((entry) => {
        const tags = entryTags(entry, kind);
        return el('span', {class: 'entry-view'}, entryValueNode(entry, kind),
          tags ? el('span', {class: 'tags', text: tags}) : null);
      }));
    }
    if (str(card.bday)) add('Birthday', str(card.bday));
    if (str(card.note)) add('Note', el('span', {class: 'note', text: noteText(str(card.note))}));
    if (!rows.length) add('Details', 'This contact has no details that this page shows.');
    fields.replaceChildren(...rows);
    openDialog($('card-dialog'));
    $('card-edit').focus();
  }

  $('card-edit').addEventListener('click', () => {
    const item = state.opened;
    closeDialog($('card-dialog'));
    if (item) openEditor(item);
  });
  $('card-delete').addEventListener('click', async () => {
    const item = state.opened;
    if (!item) return;
    closeDialog($('card-dialog'));
    await deleteCards([item.id], '"' + item.name + '"');
  });
  $('card-download').addEventListener('click', () => {
    const item = state.opened;
    if (item) download('export_cards', {id: [str(item.card.resource_id)]}, 1);
  });

  // ---- Editor ---------------------------------------------------------------------------------

  let fieldSeq = 0;
  const DEFAULT_TYPE = {tel: 'CELL', mail: 'INTERNET', adr: 'HOME', url: ''};
  const INPUT_TYPE = {tel: 'tel', mail: 'email', adr: 'text', url: 'url'};
  const ADDRESS_PARTS = [
    ['pobox', 'Post office box'], ['extended', 'Extended address'], ['street', 'Street'],
    ['locality', 'City'], ['region', 'Region'], ['code', 'Postal code'], ['country', 'Country'],
  ];

  function typesText(entry) {
    return Array.isArray(entry.type) ? entry.type.filter((t) => typeof t === 'string').join(', ') : '';
  }

  function labelText(entry, kind) {
    const label = entry.cust_name;
    return typeof label === 'string' && label !== FIXED_LABEL[kind] ? label : '';
  }

  // One entry of the editor. `original` is the stored entry, kept so that what the person
  // did not change goes back exactly as it came.
  function entryEditor(kind, original) {
    const entry = original || {key: FIXED_LABEL[kind], cust_name: FIXED_LABEL[kind], type: DEFAULT_TYPE[kind] ? [DEFAULT_TYPE[kind]] : []};
    const n = ++fieldSeq;
    const id = (part) => 'edit-' + kind + '-' + n + '-' + part;
    const box = el('div', {class: 'entry entry-' + kind, role: 'group', 'aria-label': KIND_NAME[kind]});
    box.entryOriginal = original || null;
    box.entryKind = kind;
    const fields = [];

    if (kind === 'adr') {
      const parts = splitAddress(str(entry.data));
      while (parts.length < ADDRESS_PARTS.length) parts.push('');
      if (parts.length > ADDRESS_PARTS.length) {
        parts.splice(ADDRESS_PARTS.length - 1, parts.length, parts.slice(ADDRESS_PARTS.length - 1).join(';'));
      }
      // A value without any ";" is the street alone.
      if (!str(entry.data).includes(';')) {
        parts.fill('');
        parts[2] = str(entry.data);
      }
      const grid = el('div', {class: 'address'});
      ADDRESS_PARTS.forEach(([part, label], i) => {
        const input = el('input', {id: id(part), class: 'adr-part', 'data-part': part, autocomplete: 'off'});
        input.value = parts[i];
        input.defaultValue = parts[i];
        grid.append(el('div', {class: 'field adr-' + part}, el('label', {for: id(part), text: label}), input));
      });
      fields.push(grid);
    } else {
      const input = el('input', {id: id('data'), class: 'entry-data', type: INPUT_TYPE[kind], autocomplete: 'off'});
      input.value = str(entry.data);
      input.defaultValue = input.value;
      fields.push(el('div', {class: 'field data'}, el('label', {for: id('data'), text: KIND_NAME[kind]}), input));
    }

    const types = el('input', {id: id('types'), class: 'entry-types', list: 'types-' + kind, autocomplete: 'off',
      placeholder: kind === 'tel' ? 'CELL, VOICE' : ''});
    types.value = typesText(entry);
    types.defaultValue = types.value;
    const label = el('input', {id: id('label'), class: 'entry-label', autocomplete: 'off', placeholder: 'e.g. Work'});
    label.value = labelText(entry, kind);
    label.defaultValue = label.value;
    fields.push(
      el('div', {class: 'field types'}, el('label', {for: id('types'), text: 'Types'}), types),
      el('div', {class: 'field label'}, el('label', {for: id('label'), text: 'Label'}), label),
    );
    const remove = el('button', {type: 'button', class: 'remove', 'aria-label': 'Remove this ' + KIND_NAME[kind].toLowerCase(), text: 'Remove'});
    remove.addEventListener('click', () => {
      const fieldset = box.closest('fieldset');
      box.remove();
      const next = fieldset.querySelector('.entry input');
      (next || fieldset.querySelector('.add-entry')).focus();
    });
    box.append(...fields, remove);
    return box;
  }

  function changed(input) {
    return input.value !== input.defaultValue;
  }

  // The entry as the card record wants it, or null when it holds no value.
  function readEntry(box) {
    const kind = box.entryKind;
    const original = box.entryOriginal;
    const entry = original ? JSON.parse(JSON.stringify(original)) : {key: FIXED_LABEL[kind], cust_name: FIXED_LABEL[kind]};
    if (kind === 'adr') {
      const inputs = [...box.querySelectorAll('.adr-part')];
      if (!original || inputs.some(changed)) {
        const values = inputs.map((input) => input.value.replace(/[\r\n]+/g, ' '));
        entry.data = values.some((v) => v.trim()) ? values.join(';') : '';
      }
    } else {
      const input = box.querySelector('.entry-data');
      if (!original || changed(input)) entry.data = input.value.trim();
    }
    if (!str(entry.data)) return null;

    const types = box.querySelector('.entry-types');
    if (!original || changed(types)) {
      const list = types.value.split(',').map((t) => t.trim()).filter(Boolean);
      // A new phone, e-mail or address needs a type: the server lists such a property only
      // when a parameter follows its name.
      if (!list.length && !original && DEFAULT_TYPE[kind]) list.push(DEFAULT_TYPE[kind]);
      entry.type = list;
    }
    const label = box.querySelector('.entry-label');
    if (!original || changed(label)) {
      entry.cust_name = label.value.trim() || FIXED_LABEL[kind];
    }
    return entry;
  }

  const textFields = {
    given: ['name', 'given_name'],
    additional: ['name', 'additional_name'],
    family: ['name', 'family_name'],
    org: ['company', 'org'],
    'title-field': ['company', 'title'],
  };

  function openEditor(item) {
    const card = item ? item.card : {};
    state.editing = item || null;
    $('edit-title').textContent = item ? 'Edit ' + item.name : 'New contact';
    $('edit-error').hidden = true;
    for (const [field, [group, key]] of Object.entries(textFields)) {
      const input = $('edit-' + field);
      const owner = card[group] && typeof card[group] === 'object' ? card[group] : {};
      input.value = str(owner[key]);
      input.defaultValue = input.value;
    }
    const bday = $('edit-bday');
    bday.value = str(card.bday);
    bday.defaultValue = bday.value;
    const note = $('edit-note');
    note.value = noteText(str(card.note));
    note.defaultValue = note.value;
    for (const fieldset of $('edit-form').querySelectorAll('fieldset[data-kind]')) {
      const kind = fieldset.dataset.kind;
      const boxes = entries(card, kind).filter((entry) => entry && typeof entry === 'object')
        .map((entry) => entryEditor(kind, entry));
      if (!item && (kind === 'tel' || kind === 'mail')) boxes.push(entryEditor(kind, null));
      fieldset.querySelector('.entries').replaceChildren(...boxes);
    }
    openDialog($('edit-dialog'));
    $('edit-given').focus();
  }

  for (const fieldset of $('edit-form').querySelectorAll('fieldset[data-kind]')) {
    fieldset.querySelector('.add-entry').addEventListener('click', () => {
      const box = entryEditor(fieldset.dataset.kind, null);
      fieldset.querySelector('.entries').append(box);
      box.querySelector('input').focus();
    });
  }

  // The card record to send: for an edit, the stored record with only the changed fields
  // replaced, so that `other`, `id` and everything this page does not show go back untouched.
  function recordFromEditor() {
    const original = state.editing ? state.editing.card : null;
    const record = original ? JSON.parse(JSON.stringify(original)) : {};
    for (const [field, [group, key]] of Object.entries(textFields)) {
      const input = $('edit-' + field);
      if (!record[group] || typeof record[group] !== 'object') {
        record[group] = group === 'name'
          ? {family_name: '', given_name: '', additional_name: ''} : {org: '', title: ''};
      }
      if (!original || changed(input)) record[group][key] = input.value.trim();
    }
    const bday = $('edit-bday');
    if (!original || changed(bday)) {
      if (bday.value.trim() || original) record.bday = bday.value.trim();
    }
    const note = $('edit-note');
    if (!original || changed(note)) record.note = note.value;
    for (const fieldset of $('edit-form').querySelectorAll('fieldset[data-kind]')) {
      const kind = fieldset.dataset.kind;
      const list = [];
      for (const box of fieldset.querySelectorAll('.entry')) {
        const entry = readEntry(box);
        if (entry) list.push(entry);
      }
      record[kind] = list;
    }
    if (original) record.resource_name = str(original.id);
    return record;
  }

  $('edit-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const record = recordFromEditor();
    const editing = state.editing;
    const hasName = ['given_name', 'family_name', 'additional_name'].some((k) => str(record.name[k]).trim()) ||
      str(record.company.org).trim();
    if (!hasName) {
      $('edit-error').textContent = 'Give the contact a name or a company.';
      $('edit-error').hidden = false;
      $('edit-given').focus();
      return;
    }
    const save = $('edit-save');
    save.disabled = true;
    try {
      await call(CONTACTS, editing ? 'edit_card' : 'add_card', bookParams({card: record}));
    } catch (error) {
      save.disabled = false;
      if (error instanceof ApiError && error.code === 108) return failed(error);
      $('edit-error').textContent = 'Not saved: ' + describe(error);
      $('edit-error').hidden = false;
      $('edit-error').focus();
      return;
    }
    save.disabled = false;
    closeDialog($('edit-dialog'));
    notify(editing ? 'Saved the changes to ' + editing.name + '.' : 'Added the new contact.');
    await loadList(true);
  });
  $('edit-error').tabIndex = -1;

  $('new-contact').addEventListener('click', () => openEditor(null));

  // ---- Delete ---------------------------------------------------------------------------------

  async function deleteCards(ids, what) {
    if (!ids.length) return;
    const ok = await confirmAction('Delete ' + what + '? This cannot be undone.', 'Delete');
    if (!ok) return;
    clearError();
    try {
      await call(CONTACTS, 'delete_cards', bookParams({id: ids}));
      for (const id of ids) state.selected.delete(id);
      notify('Deleted ' + what + '.');
    } catch (error) {
      failed(error, 'Deleting ' + what + ' failed');
    }
    await loadList(true);
  }

  function deleteSelected() {
    const ids = [...state.selected];
    if (!ids.length) return;
    const what = ids.length === 1
      ? '"' + ((state.cards.find((item) => item.id === ids[0]) || {}).name || 'the selected contact') + '"'
      : plural(ids.length, 'contact', 'contacts');
    return deleteCards(ids, what);
  }
  $('delete-selected').addEventListener('click', deleteSelected);

  // ---- Download -------------------------------------------------------------------------------

  async function download(method, extra, count) {
    clearError();
    let response;
    try {
      response = await Lumidex.fetchDownload(CONTACTS, method, bookParams(extra));
      const type = response.headers.get('Content-Type') || '';
      if (type.includes('json')) await Lumidex.readReply(response);
      if (!response.ok) {
        throw new ApiError(0, '', response.status, response.status === 404
          ? 'The contacts could not be downloaded: one of them no longer exists or the address book was not found (HTTP 404).'
          : 'The download failed (HTTP ' + response.status + ').');
      }
    } catch (error) {
      failed(error, 'Download');
      return;
    }
    const blob = await response.blob();
    const disposition = response.headers.get('Content-Disposition') || '';
    const named = /filename="([^"]+)"/.exec(disposition);
    const link = el('a', {href: URL.createObjectURL(blob), download: named ? named[1] : 'Contact.vcf', hidden: true});
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    notify('Downloaded ' + plural(count, 'contact', 'contacts') + ' as ' + link.download + '.');
  }

  $('export-selected').addEventListener('click', () => {
    const byId = new Map(state.cards.map((item) => [item.id, item]));
    const ids = [...state.selected].filter((id) => byId.has(id)).map((id) => str(byId.get(id).card.resource_id));
    if (ids.length) download('export_cards', {id: ids}, ids.length);
  });
  $('export-all').addEventListener('click', () => download('export_all_cards', {}, state.cards.length));

  // ---- Import ---------------------------------------------------------------------------------

  function importFile(file) {
    clearError();
    const progress = $('import-progress');
    const bar = $('import-bar');
    const percent = $('import-percent');
    const button = $('import-button');
    $('import-label').textContent = 'Uploading ' + file.name;
    bar.value = 0;
    percent.textContent = '0 %';
    progress.hidden = false;
    button.disabled = true;
    const before = state.cards.length;

    const finish = async (error) => {
      progress.hidden = true;
      button.disabled = false;
      $('import-file').value = '';
      if (error instanceof ApiError && error.code === 1011) {
        showError('Importing ' + file.name + ' failed: no contact in the file could be stored. ' +
          'Is it a vCard (.vcf) file? (the server says "' + error.serverMessage + '", error 1011)');
        await loadList(true);
        return;
      }
      if (error) {
        failed(error, 'Importing ' + file.name + ' failed');
        await loadList(true);
        return;
      }
      const inFile = await countCards(file);
      await loadList(true);
      const added = state.cards.length - before;
      let text;
      if (added <= 0) text = 'The server accepted ' + file.name + ' but no contact was added.';
      else if (inFile > added) text = 'Imported ' + plural(added, 'contact', 'contacts') + ' of the ' + inFile + ' in ' + file.name + '; the others could not be stored.';
      else text = 'Imported ' + plural(added, 'contact', 'contacts') + ' from ' + file.name + '.';
      notify(text);
    };

    const form = new FormData();
    form.append('user', state.book);
    form.append('file', file, file.name);
    const xhr = new XMLHttpRequest();
    xhr.open('POST', Lumidex.apiUrl(CONTACTS, 'import_cards'));
    xhr.withCredentials = true;
    const token = Lumidex.csrf();
    if (token) xhr.setRequestHeader('X-CSRF-Token', token);
    xhr.responseType = 'text';
    xhr.upload.addEventListener('progress', (event) => {
      if (!event.lengthComputable) return;
      const value = Math.round((event.loaded / event.total) * 100);
      bar.value = value;
      percent.textContent = value + ' %';
      if (event.loaded === event.total) $('import-label').textContent = 'Storing the contacts of ' + file.name;
    });
    xhr.addEventListener('load', () => {
      let body = null;
      try {
        body = JSON.parse(xhr.responseText);
      } catch (e) {
        body = null;
      }
      if (!body || typeof body.success !== 'boolean') {
        finish(new ApiError(0, '', xhr.status, 'The server gave no usable answer (HTTP ' + xhr.status + ').'));
      } else if (!body.success) {
        const error = body.error && typeof body.error === 'object' ? body.error : {};
        finish(new ApiError(Number.isInteger(error.code) ? error.code : 0, str(error.message), xhr.status));
      } else {
        finish(null);
      }
    });
    xhr.addEventListener('error', () => finish(new ApiError(0, '', 0, 'The upload was interrupted: the server could not be reached.')));
    xhr.addEventListener('abort', () => finish(new ApiError(0, '', 0, 'The upload was cancelled.')));
    xhr.send(form);
  }

  // Cards in a file as the server counts them: lines that start with BEGIN:VCARD.
  async function countCards(file) {
    try {
      const text = await file.text();
      const found = text.match(/^BEGIN:VCARD/gm);
      return found ? found.length : 0;
    } catch (e) {
      return 0;
    }
  }

  $('import-button').addEventListener('click', () => $('import-file').click());
  $('import-file').addEventListener('change', (event) => {
    const file = event.target.files && event.target.files[0];
    if (file) importFile(file);
  });

  // ---- Settings -------------------------------------------------------------------------------

  const settingsFields = {
    1002: 'http-port',
    1003: 'https-port',
  };

  function fieldError(id, text) {
    const input = $(id);
    const error = $(id + '-error');
    error.textContent = text || '';
    error.hidden = !text;
    if (text) input.setAttribute('aria-invalid', 'true');
    else input.removeAttribute('aria-invalid');
  }

  function clearSettingsErrors() {
    fieldError('http-port', '');
    fieldError('https-port', '');
    $('settings-error').hidden = true;
  }

  function fillSettings(common) {
    const value = common && typeof common === 'object' ? common : {};
    const text = (v) => (Number.isInteger(v) ? String(v) : typeof v === 'string' ? v : '');
    $('http-port').value = text(value.HTTPPort);
    $('https-port').value = text(value.SSLPort);
    $('enable-ssl').checked = value.EnableSSL === true;
    $('redirect-https').checked = value.RedirectHTTPToHTTPS === true;
  }

  async function loadSettings() {
    clearSettingsErrors();
    try {
      const data = await call(COMMON, 'get', {});
      fillSettings(data && data.common);
    } catch (error) {
      if (error instanceof ApiError && error.code === 108) return failed(error);
      $('settings-error').textContent = 'The settings could not be read: ' + describe(error);
      $('settings-error').hidden = false;
    }
  }

  function portValue(id, name) {
    const text = $(id).value.trim();
    if (!/^[0-9]+$/.test(text) || Number(text) < 1 || Number(text) > 65535) {
      fieldError(id, 'Enter the ' + name + ' as a number from 1 to 65535.');
      return null;
    }
    return Number(text);
  }

  $('settings-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    clearSettingsErrors();
    const http = portValue('http-port', 'HTTP port');
    const https = portValue('https-port', 'HTTPS port');
    if (http === null || https === null) {
      $(http === null ? 'http-port' : 'https-port').focus();
      return;
    }
    const save = $('settings-save');
    save.disabled = true;
    try {
      const data = await call(COMMON, 'set', {
        HTTPPort: http,
        SSLPort: https,
        EnableSSL: $('enable-ssl').checked,
        RedirectHTTPToHTTPS: $('redirect-https').checked,
      });
      fillSettings(data && data.common);
      notify('The server settings were saved and the CardDAV server was restarted.');
    } catch (error) {
      if (error instanceof ApiError && error.code === 108) return failed(error);
      const field = error instanceof ApiError ? settingsFields[error.code] : undefined;
      if (field) {
        fieldError(field, describe(error));
        $(field).focus();
      } else {
        $('settings-error').textContent = 'The settings were not saved: ' + describe(error);
        $('settings-error').hidden = false;
        $('settings-error').focus();
      }
    } finally {
      save.disabled = false;
    }
  });
  $('settings-error').tabIndex = -1;
  $('settings-reload').addEventListener('click', loadSettings);

  // ---- Pages and start ------------------------------------------------------------------------

  function route() {
    const settings = location.hash === '#settings';
    if (settings && !state.admin) {
      showError('Only "admin" may change the server settings.');
      history.replaceState(null, '', '#contacts');
    }
    const onSettings = settings && state.admin;
    $('contacts-page').hidden = onSettings;
    $('settings-page').hidden = !onSettings;
    $('nav-contacts').toggleAttribute('aria-current', !onSettings);
    $('nav-settings').toggleAttribute('aria-current', onSettings);
    if (onSettings) {
      loadSettings();
    } else {
      readRowHeight();
      renderRows();
    }
  }
  window.addEventListener('hashchange', route);

  $('message-close').addEventListener('click', clearError);

  $('sign-out').addEventListener('click', async () => {
    try {
      await Lumidex.auth('logout');
    } catch (error) {
      if (!(error instanceof ApiError && error.code === 108)) {
        showError('Signing out failed: ' + describe(error));
        return;
      }
    }
    location.assign('/login.html');
  });

  $('book-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const user = $('book-user').value.trim();
    if (!user || user === state.book) return;
    state.book = user;
    state.selected.clear();
    state.search = '';
    $('search').value = '';
    clearError();
    loadList(false);
  });

  async function start() {
    let me;
    try {
      me = await Lumidex.auth('whoami');
    } catch (error) {
      if (error instanceof ApiError && error.code === 108) {
        location.replace('/login.html');
        return;
      }
      setBusy(false);
      showError('Could not find out who is signed in: ' + describe(error));
      return;
    }
    state.me = str(me && me.user);
    state.admin = !!(me && me.admin === true);
    Lumidex.setCsrf(me && me.csrf);
    state.book = state.me;
    $('who-name').textContent = 'Signed in as ' + state.me;
    $('nav-settings').hidden = !state.admin;
    if (state.admin) {
      $('book-form').hidden = false;
      $('book-user').value = state.book;
    }
    route();
    await loadList(false);
  }

  readRowHeight();
  start();
})();
