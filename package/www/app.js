// The contacts pages: who is signed in, the list of an address book with its search, the card
// view and editor, delete, import and download, and the server settings for "admin".
// Contact data is untrusted: it only ever reaches the page as text nodes and attribute values.
'use strict';

(() => {
  const {call, describe, ApiError} = Lumidex;
  const {unescape, escape} = CardText;
  const CONTACTS = 'ORVA.ContactAndCalendar.Contacts';
  const COMMON = 'ORVA.ContactAndCalendar.Common';
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
    listSeq: 0,
    rowHeight: 44,
    opened: null,       // the card shown in the card view
    editing: null,      // the stored card being edited, null for a new one
    editRemoved: false, // an entry of the stored card was removed in the editor
    books: null,        // for "admin": names that have an address book (null: not known)
    accounts: [],       // for "admin": the accounts that may sign in
    reloading: null,    // the listing asked for after a save
    listVersion: 2,     // 1 once the server said it has no version 2 of the listing
    group: 'all',       // the group filter: "all", "none" or "g:" and the group's name
    editPhoto: undefined, // the editor's new photo (base64 JPEG), '' to remove it, undefined: as stored
    editGroups: [],     // the editor's groups: {stored, name}
    editGroupsStart: '', // the editor's groups as it opened, to tell a change
  };

  // Photos and groups are written by the server that lists version 2; an older one would take
  // a record without them as one that empties the card.
  const canWriteFacesAndGroups = () => state.listVersion === 2;

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
      sessionEnded();
      return;
    }
    showError((what ? what + ': ' : '') + describe(error));
  }

  // ---- Card texts -----------------------------------------------------------------------------

  const FIXED_LABEL = CardText.FIXED_LABEL;
  const KIND_NAME = {tel: 'Phone', mail: 'E-mail', adr: 'Address', url: 'Web address'};

  const str = (value) => (typeof value === 'string' ? value : '');
  const entries = (card, kind) => (Array.isArray(card[kind]) ? card[kind] : []);
  const group = (card, key) => (card[key] && typeof card[key] === 'object' ? card[key] : {});
  // The values of a card's phones or e-mails as people read them.
  const shownValues = (card, kind) => entries(card, kind)
    .map((entry) => unescape(str(entry && entry.data))).filter((value) => value !== '');

  function nameParts(card) {
    const name = group(card, 'name');
    return [name.given_name, name.additional_name, name.family_name].map((part) => unescape(str(part)));
  }

  // The name parts that are not blank, as one text.
  function fullName(card) {
    const name = group(card, 'name');
    let text = '';
    for (const part of [name.given_name, name.additional_name, name.family_name]) {
      const value = unescape(str(part));
      if (value.trim() !== '') text = text ? text + ' ' + value : value;
    }
    return text;
  }

  // An organisation and its units as one text: "IBM (Accounting)".
  function orgText(org) {
    const parts = CardText.orgParts(org);
    return parts.units.length ? parts.name + ' (' + parts.units.join(', ') + ')' : parts.name;
  }

  // What the list needs of every listed card before it is drawn (its name, order and groups),
  // worked out once per listing; what a row shows beside the name is worked out when a row or
  // a search first needs it, and what the search compares when a search does.
  function prepare(card) {
    const item = {
      card,
      id: str(card.id),
      name: fullName(card),
      groups: listedGroups(card),
      photoSrc: undefined,
      texts: null,
      sortKey: '',
      found: null,
    };
    if (!item.name) {
      const texts = rowTexts(item);
      item.name = texts.org || texts.mail || texts.tel || '(no name)';
    }
    item.sortKey = item.name.toLocaleLowerCase();
    return item;
  }

  // The company, first phone and first e-mail a row shows.
  function rowTexts(item) {
    if (!item.texts) {
      const card = item.card;
      item.texts = {
        org: orgText(str(group(card, 'company').org)).trim(),
        tel: shownValues(card, 'tel')[0] || '',
        mail: shownValues(card, 'mail')[0] || '',
      };
    }
    return item.texts;
  }

  function searchIndex(item) {
    if (!item.found) {
      const card = item.card;
      const tels = shownValues(card, 'tel');
      item.found = ContactSearch.index(
        [item.name, ...nameParts(card), rowTexts(item).org, unescape(str(group(card, 'company').title)),
          ...shownValues(card, 'mail'), ...tels], tels);
    }
    return item.found;
  }

  // The card's groups as people read them, in order and without repeats.
  function listedGroups(card) {
    const stored = storedGroups(card);
    if (!stored.length) return [];
    return [...new Set(stored.map((value) => unescape(value).trim()).filter(Boolean))];
  }

  // The card's groups as stored (vCard text): the listing's own list, or from its CATEGORIES
  // lines where the server lists version 1.
  function storedGroups(card) {
    if (Array.isArray(card.categories)) return card.categories.filter((value) => typeof value === 'string');
    return CardText.categoriesOf(str(card.other));
  }

  // ---- Faces ----------------------------------------------------------------------------------

  // Where the card's photo comes from: the server's photo method when the listing says there is
  // one, else the PHOTO line the listing still carries; '' for none.
  function photoSource(item) {
    if (item.photoSrc === undefined) {
      const card = item.card;
      if (card.photo === true) {
        // The card's etag in the address: a photo replaced since is a new address, not the
        // picture the browser already holds for this page.
        item.photoSrc = Lumidex.apiUrl(CONTACTS, 'get_photo', 1) + '&user=' + encodeURIComponent(state.book) +
          '&id=' + encodeURIComponent(item.id) + '&v=' + encodeURIComponent(str(card.etag));
      } else {
        item.photoSrc = card.photo === false ? '' : CardText.photoDataUri(str(card.other));
      }
    }
    return item.photoSrc;
  }

  function initials(name) {
    const words = name.split(/\s+/).map((word) => (word.match(/[\p{L}\p{N}]/u) || [''])[0]).filter(Boolean);
    if (!words.length) return '?';
    const letters = words.length > 1 ? words[0] + words[words.length - 1] : words[0];
    return letters.toLocaleUpperCase();
  }

  // A colour of the name's own, so that the same person has the same colour on every visit.
  function colourOf(name) {
    let hash = 0;
    for (const c of name) hash = (hash * 31 + c.codePointAt(0)) >>> 0;
    return 'hsl(' + (hash % 360) + ' 42% 38%)';
  }

  // A round face: initials on the name's colour until the photo (if any) is loaded by `showFace`.
  function face(item, className) {
    const box = el('span', {class: 'face ' + className, 'aria-hidden': 'true'});
    box.style.backgroundColor = colourOf(item.name);
    box.append(el('span', {class: 'initials', text: initials(item.name)}));
    box.item = item;
    return box;
  }

  function showFace(box, source) {
    if (box.faceShown) return;
    box.faceShown = true;
    const src = source === undefined ? photoSource(box.item) : source;
    if (!src) return;
    const image = el('img', {alt: '', class: 'photo', decoding: 'async'});
    image.addEventListener('load', () => {
      box.replaceChildren(image);
      box.classList.add('has-photo');
    });
    // A photo the server cannot give leaves the initials.
    image.addEventListener('error', () => {
      if (source === undefined && box.item) box.item.photoSrc = '';
    });
    image.src = src;
  }

  const collator = new Intl.Collator(undefined, {sensitivity: 'base', numeric: true});
  const idOrder = (a, b) => (a.id < b.id ? -1 : a.id > b.id ? 1 : 0);
  const inOrder = (a, b) => collator.compare(a.sortKey, b.sortKey) || idOrder(a, b);

  // The list's order: by name as the collator compares, then by id. A listing already in that
  // order costs one comparison a card. Any other is first sorted by plain comparison of the
  // names, which is close to the collator's order and far cheaper; the collator then only mends
  // where the two differ (accents, numbers), as the sort takes runs already in order as they are.
  function sortCards(items) {
    let sorted = 1;
    while (sorted < items.length && inOrder(items[sorted - 1], items[sorted]) <= 0) ++sorted;
    if (sorted >= items.length) return items;
    items.sort((a, b) => (a.sortKey < b.sortKey ? -1 : a.sortKey > b.sortKey ? 1 : idOrder(a, b)));
    return items.sort(inOrder);
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
    row.face = face(item, 'small');
    const texts = rowTexts(item);
    row.append(
      el('span', {class: 'col-check'}, box),
      el('span', {class: 'col-photo', dir: 'auto'}, row.face),
      el('span', {class: 'col-name', dir: 'auto', text: item.name}),
      el('span', {class: 'col-company', dir: 'auto', text: texts.org}),
      el('span', {class: 'col-tel', dir: 'auto', text: texts.tel}),
      el('span', {class: 'col-mail', dir: 'auto', text: texts.mail}),
    );
    updateRow(row, index);
    return row;
  }

  // A row shows the same card after a new listing when the stored card is unchanged (same
  // etag): it stays, with its photo, and so does anything pointing at it.
  function sameCard(a, b) {
    return a === b || (!!a && !!b && a.id === b.id && a.card.resource_id === b.card.resource_id &&
      !!str(a.card.etag) && a.card.etag === b.card.etag);
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
      if (row && sameCard(row.item, state.shown[i]) && row.rowHeight === height) {
        rendered.delete(i);
        row.item = row.face.item = state.shown[i];
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
    // Only the rows in view load their photo; the rows drawn beyond them wait until scrolled to.
    const seenFirst = Math.floor(top / height);
    const seenLast = Math.min(count, Math.ceil((top + list.clientHeight) / height));
    for (let i = seenFirst; i < seenLast; ++i) {
      const row = rendered.get(i);
      if (row) showFace(row.face);
    }
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
    let text = state.search || state.group !== 'all'
      ? shown + ' of ' + plural(total, 'contact', 'contacts') + ' match'
      : plural(total, 'contact', 'contacts');
    if (state.selected.size) text += ', ' + state.selected.size + ' selected';
    $('count').textContent = text;

    const empty = $('list-empty');
    if (shown === 0) {
      empty.textContent = state.search
        ? 'No contact matches "' + state.search + '"' + (state.group !== 'all' ? ' in this group.' : '.')
        : state.group === 'none' ? 'Every contact is in a group.'
          : state.group !== 'all' ? 'No contact is in this group.'
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
    const writable = canWriteFacesAndGroups();
    const grouped = n && state.cards.some((item) => item.groups.length && state.selected.has(item.id));
    $('group-add').disabled = !n || !writable;
    $('group-remove').disabled = !grouped || !writable;
    const why = writable ? null : 'This server cannot change groups yet.';
    for (const id of ['group-add', 'group-remove']) {
      if (why) $(id).title = why;
      else $(id).removeAttribute('title');
    }

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

  // Loads the whole address book and shows it through the search box's filter. `asked` is a
  // listing of the same book already on its way, and `prepared` what was prepared of its
  // cards as they came.
  async function loadList(keepPosition, asked, prepared) {
    const seq = ++state.listSeq;
    setBusy(true);
    let data;
    try {
      data = await (asked || listCards(state.book));
    } catch (error) {
      if (seq === state.listSeq) setBusy(false);
      failed(error, 'The contacts could not be listed');
      return false;
    }
    if (seq !== state.listSeq) return false;
    const cards = (data && Array.isArray(data.cards) ? data.cards : []).filter((card) => card && typeof card === 'object');
    const ready = prepared && prepared.length === cards.length && prepared.every((item, i) => item.card === cards[i]);
    state.cards = sortCards(ready ? prepared : cards.map(prepare));
    if (state.selected.size) {
      const ids = new Set(state.cards.map((item) => item.id));
      for (const id of [...state.selected]) if (!ids.has(id)) state.selected.delete(id);
    }
    fillGroupFilter();
    show(filtered(), keepPosition);
    setBusy(false);
    performance.mark('contacts-list-ready');
    prepareSearch(seq);
    return true;
  }

  // The listing without binary values (version 2); a server that has only version 1 is asked
  // for that, and the pages read photos and groups from its records' `other`.
  // `asked`: a version 2 listing of `user` already on its way.
  async function listCards(user, asked) {
    if (state.listVersion === 2) {
      try {
        return await (asked || call(CONTACTS, 'list_cards', {user}, undefined, 2, 'cards'));
      } catch (error) {
        if (!(error instanceof ApiError && error.code === 104)) throw error;
        state.listVersion = 1;
      }
    }
    return call(CONTACTS, 'list_cards', {user}, undefined, 1, 'cards');
  }

  // The cards the group filter and the search let through.
  function filtered() {
    let items = state.cards;
    if (state.group === 'none') {
      items = items.filter((item) => !item.groups.length);
    } else if (state.group !== 'all') {
      const name = state.group.slice(2);
      items = items.filter((item) => item.groups.includes(name));
    }
    const test = ContactSearch.matcher(state.search);
    return test ? items.filter((item) => test(searchIndex(item))) : items;
  }

  // Every group of the book with its count, and the contacts in none; a group that is gone
  // since (its last contact left it) leaves the filter on all contacts.
  function fillGroupFilter() {
    const counts = new Map();
    let none = 0;
    for (const item of state.cards) {
      if (!item.groups.length) ++none;
      for (const name of item.groups) counts.set(name, (counts.get(name) || 0) + 1);
    }
    const names = [...counts.keys()].sort(collator.compare);
    const options = [new Option('All contacts (' + state.cards.length + ')', 'all')];
    for (const name of names) options.push(new Option(name + ' (' + counts.get(name) + ')', 'g:' + name));
    options.push(new Option('In no group (' + none + ')', 'none'));
    if (state.group.startsWith('g:') && !counts.has(state.group.slice(2))) state.group = 'all';
    const select = $('group-filter');
    select.replaceChildren(...options);
    select.value = state.group;
    $('group-names').replaceChildren(...names.map((name) => el('option', {value: name})));
  }

  $('group-filter').addEventListener('change', () => {
    state.group = $('group-filter').value;
    state.active = -1;
    show(filtered(), false);
  });

  // Works out what the search compares while the page is idle, a slice at a time, so that the
  // first key typed finds it ready and the list never waits for it.
  function prepareSearch(seq) {
    let next = 0;
    const idle = window.requestIdleCallback || ((run) => setTimeout(() => run({timeRemaining: () => 8}), 1));
    const step = (deadline) => {
      if (seq !== state.listSeq) return;
      const cards = state.cards;
      while (next < cards.length && deadline.timeRemaining() > 1) {
        const end = Math.min(cards.length, next + 200);
        for (; next < end; ++next) searchIndex(cards[next]);
      }
      if (next < cards.length) idle(step);
    };
    idle(step);
  }

  function onSearchInput() {
    const text = $('search').value;
    if (text === state.search) return;
    state.search = text;
    state.active = -1;
    show(filtered(), false);
    performance.mark('contacts-search-filtered');
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
      // The list already shows what was typed; Enter goes to it.
      event.preventDefault();
      if (state.shown.length) list.focus();
    }
  });

  // ---- Dialogs --------------------------------------------------------------------------------

  const returnFocus = new Map();
  function openDialog(dialog) {
    if (dialog.open) return;
    returnFocus.set(dialog, document.activeElement);
    dialog.showModal();
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
      if (!event.target.closest('[data-close]')) return;
      if (dialog.id === 'edit-dialog') closeEditor();
      else closeDialog(dialog);
    });
  }

  // Asks before something that cannot be undone; resolves to true when confirmed.
  function confirmAction(text, yesLabel, noLabel) {
    const dialog = $('confirm-dialog');
    $('confirm-text').textContent = text;
    $('confirm-yes').textContent = yesLabel;
    $('confirm-no').textContent = noLabel || 'Cancel';
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

  // A value as the card view shows it: the text as people read it, a link where it leads
  // somewhere.
  function entryValueNode(entry, kind) {
    const stored = str(entry.data);
    const data = kind === 'url' ? CardText.uriText(stored) : unescape(stored);
    if (kind === 'mail') return el('a', {href: 'mailto:' + data, dir: 'auto', text: data});
    if (kind === 'tel') return el('a', {href: 'tel:' + data.replace(/[^0-9+*#,;]/g, ''), dir: 'auto', text: data});
    // Only web addresses become links: a "javascript:" value stays text.
    if (kind === 'url' && /^https?:\/\//i.test(data)) {
      return el('a', {href: data, text: data, dir: 'auto', rel: 'noopener noreferrer', target: '_blank'});
    }
    if (kind === 'adr') return el('span', {class: 'lines', dir: 'auto', text: CardText.addressLines(stored).join('\n')});
    return el('span', {dir: 'auto', text: data});
  }

  const valueText = (value, extra) => el('span', Object.assign({dir: 'auto', text: value}, extra || {}));

  function openCard(item) {
    if (!item) return;
    const card = item.card;
    state.opened = item;
    const photo = face(item, 'large');
    $('card-photo').replaceChildren(photo);
    showFace(photo);
    $('card-title').textContent = item.name;
    $('card-title').dir = 'auto';
    const fields = $('card-fields');
    const rows = [];
    const add = (term, ...values) => {
      rows.push(el('dt', {text: term}));
      for (const value of values) rows.push(el('dd', {}, value));
    };
    const nameText = fullName(card);
    if (nameText) add('Name', valueText(nameText));
    const company = group(card, 'company');
    const org = CardText.orgParts(str(company.org));
    if (org.name.trim()) add('Company', valueText(org.name));
    if (org.units.length) add('Department', valueText(org.units.join(', ')));
    if (str(company.title)) add('Job title', valueText(unescape(str(company.title))));
    const headings = {tel: 'Phones', mail: 'E-mail', adr: 'Addresses', url: 'Web addresses'};
    for (const kind of ['tel', 'mail', 'adr', 'url']) {
      const list = entries(card, kind).filter((entry) => entry && str(entry.data));
      if (!list.length) continue;
      add(headings[kind], ...list.map((entry) => el('span', {class: 'entry-view'}, entryValueNode(entry, kind),
        el('span', {class: 'tags', dir: 'auto', text: CardText.kindText(entry, kind, card.other)}))));
    }
    if (item.groups.length) add('Groups', valueText(item.groups.join(', ')));
    if (str(card.bday)) add('Birthday', valueText(CardText.dateText(str(card.bday))));
    if (str(card.note)) add('Note', valueText(unescape(str(card.note)), {class: 'note'}));
    if (!rows.length) add('Details', 'This contact has no details that this page shows.');
    fields.replaceChildren(...rows);
    openDialog($('card-dialog'));
    $('card-edit').focus();
  }

  $('card-edit').addEventListener('click', () => {
    const item = state.opened;
    closeDialog($('card-dialog'));
    if (item) openEditor(item, false);
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
  // The kind a new entry starts with.
  const DEFAULT_KIND = {tel: 'mobile', mail: 'home', adr: 'home', url: 'home'};
  // Plain text fields with a keyboard hint, not type=email or url: those hand back a value
  // cleaned up by the browser rather than the text as it was shown and typed.
  const INPUT_MODE = {tel: 'tel', mail: 'email', url: 'url'};
  const ADDRESS_LABELS = {pobox: 'Post office box', extended: 'Extended address', street: 'Street',
    locality: 'City', region: 'Region', code: 'Postal code', country: 'Country'};

  // Fills a field and remembers what it showed, so that `changed` tells what was typed.
  function setStart(input, value) {
    input.value = value;
    input.startValue = input.value;
  }

  function changed(input) {
    return input.value !== input.startValue;
  }

  function selectChanged(select) {
    return [...select.options].some((option) => option.selected !== option.defaultSelected);
  }

  function textField(tag, attrs, value) {
    const input = el(tag, Object.assign({dir: 'auto', autocomplete: 'off'}, attrs));
    setStart(input, value);
    return input;
  }

  // One entry of the editor: its value, its kind and whether it is preferred. `original` is the
  // stored entry, kept so that what the person did not change goes back exactly as it came.
  function entryEditor(kind, original, other) {
    const n = ++fieldSeq;
    const id = (part) => 'edit-' + kind + '-' + n + '-' + part;
    const box = el('div', {class: 'entry entry-' + kind, role: 'group', 'aria-label': KIND_NAME[kind]});
    box.entryOriginal = original || null;
    box.entryKind = kind;
    box.kindBefore = original ? CardText.kindOf(original, kind, other) : null;
    const stored = str(original && original.data);
    const fields = [];

    if (kind === 'adr') {
      const parts = CardText.addressParts(stored);
      const grid = el('div', {class: 'address'});
      for (const part of CardText.ADDRESS_PARTS) {
        const attrs = {id: id(part), class: 'adr-part', 'data-part': part};
        // A street may take more than one line.
        const input = part === 'street'
          ? textField('textarea', Object.assign({rows: Math.min(5, Math.max(2, parts.street.split('\n').length))}, attrs),
            parts[part])
          : textField('input', attrs, parts[part]);
        grid.append(el('div', {class: 'field adr-' + part}, el('label', {for: id(part), text: ADDRESS_LABELS[part]}), input));
      }
      fields.push(grid);
    } else {
      const input = textField('input', {id: id('data'), class: 'entry-data', type: kind === 'tel' ? 'tel' : 'text',
        inputmode: INPUT_MODE[kind], spellcheck: 'false'}, kind === 'url' ? CardText.uriText(stored) : unescape(stored));
      fields.push(el('div', {class: 'field data'}, el('label', {for: id('data'), text: KIND_NAME[kind]}), input));
    }

    const start = box.kindBefore || {kind: DEFAULT_KIND[kind], label: '', preferred: false};
    const select = el('select', {id: id('kind'), class: 'entry-kind'});
    for (const k of CardText.KINDS[kind]) {
      select.append(new Option(CardText.KIND_WORD[k], k, k === start.kind, k === start.kind));
    }
    select.append(new Option('Custom label', 'custom', start.kind === 'custom', start.kind === 'custom'));
    const label = textField('input', {id: id('label'), class: 'entry-label', placeholder: 'e.g. Lab'}, start.label);
    const labelField = el('div', {class: 'field label'}, el('label', {for: id('label'), text: 'Custom label'}), label);
    labelField.hidden = start.kind !== 'custom';
    select.addEventListener('change', () => { labelField.hidden = select.value !== 'custom'; });
    const pref = el('input', {type: 'checkbox', id: id('pref'), class: 'entry-pref'});
    pref.checked = pref.defaultChecked = start.preferred;
    fields.push(
      el('div', {class: 'field kind'}, el('label', {for: id('kind'), text: 'Kind'}), select),
      labelField,
      el('div', {class: 'field check pref'}, pref, el('label', {for: id('pref'), text: 'Preferred'})),
    );
    const remove = el('button', {type: 'button', class: 'remove', 'aria-label': 'Remove this ' + KIND_NAME[kind].toLowerCase(), text: 'Remove'});
    remove.addEventListener('click', () => {
      const fieldset = box.closest('fieldset');
      if (box.entryOriginal) state.editRemoved = true;
      box.remove();
      const next = fieldset.querySelector('.entry input');
      (next || fieldset.querySelector('.add-entry')).focus();
    });
    box.append(...fields, remove);
    return box;
  }

  // The entry as the card record wants it, or null when it holds no value.
  function readEntry(box) {
    const kind = box.entryKind;
    const original = box.entryOriginal;
    const entry = original ? JSON.parse(JSON.stringify(original)) : {key: FIXED_LABEL[kind], cust_name: FIXED_LABEL[kind]};
    if (kind === 'adr') {
      const inputs = [...box.querySelectorAll('.adr-part')];
      if (!original || inputs.some(changed)) {
        const parts = {};
        for (const input of inputs) parts[input.dataset.part] = input.value.trim();
        entry.data = CardText.addressValue(str(original && original.data), parts);
      }
    } else {
      const input = box.querySelector('.entry-data');
      // Web addresses are URIs, not vCard text: they take no escapes.
      if (!original || changed(input)) entry.data = kind === 'url' ? input.value.trim() : escape(input.value.trim());
    }
    if (!str(entry.data)) return null;

    const label = box.querySelector('.entry-label').value;
    let chosen = box.querySelector('.entry-kind').value;
    if (chosen === 'custom' && !label.trim()) chosen = 'other';
    return CardText.applyKind(entry, kind,
      {kind: chosen, label: chosen === 'custom' ? label.trim() : '', preferred: box.querySelector('.entry-pref').checked},
      box.kindBefore && Object.assign({}, box.kindBefore, {label: box.kindBefore.label.trim()}));
  }

  const nameFields = {given: 'given_name', additional: 'additional_name', family: 'family_name'};

  // Whether the editor holds anything the person typed or chose.
  function editorDirty() {
    if (state.editRemoved || state.editPhoto !== undefined || groupsChanged()) return true;
    const form = $('edit-form');
    for (const input of form.querySelectorAll('input, textarea')) {
      if (input.type === 'checkbox' ? input.checked !== input.defaultChecked : 'startValue' in input && changed(input)) {
        return true;
      }
    }
    return [...form.querySelectorAll('select')].some(selectChanged);
  }

  // Closes the editor, asking first when that would throw typed changes away; resolves to
  // whether it is closed.
  async function closeEditor() {
    const dialog = $('edit-dialog');
    if (!dialog.open) return true;
    if (editorDirty()) {
      const what = state.editing ? 'your changes to ' + state.editing.name : 'the new contact';
      if (!(await confirmAction('Discard ' + what + '?', 'Discard', 'Keep editing'))) return false;
    }
    closeDialog(dialog);
    return true;
  }

  async function openEditor(item, replacing) {
    if (!replacing && !(await closeEditor())) return;
    if (item && item.saved && state.reloading) {
      await state.reloading;
      item = state.cards.find((fresh) => fresh.id === item.id) || item;
    }
    const card = item ? item.card : {};
    state.editing = item || null;
    state.editRemoved = false;
    $('edit-title').textContent = item ? 'Edit ' + item.name : 'New contact';
    $('edit-error').hidden = true;
    const name = group(card, 'name');
    for (const [field, key] of Object.entries(nameFields)) setStart($('edit-' + field), unescape(str(name[key])));
    const company = group(card, 'company');
    const org = CardText.orgParts(str(company.org));
    setStart($('edit-org'), org.name);
    setStart($('edit-unit'), unescape(org.raw[1] || ''));
    setStart($('edit-title-field'), unescape(str(company.title)));
    setStart($('edit-bday'), str(card.bday));
    setStart($('edit-note'), unescape(str(card.note)));
    startFaceAndGroups(item);
    for (const fieldset of $('edit-form').querySelectorAll('fieldset[data-kind]')) {
      const kind = fieldset.dataset.kind;
      const boxes = entries(card, kind).filter((entry) => entry && typeof entry === 'object')
        .map((entry) => entryEditor(kind, entry, card.other));
      if (!item && (kind === 'tel' || kind === 'mail')) boxes.push(entryEditor(kind, null));
      fieldset.querySelector('.entries').replaceChildren(...boxes);
    }
    openDialog($('edit-dialog'));
    $('edit-given').focus();
  }

  // ---- Editor: photo and groups ----

  // A new contact gets its photo and groups once it is stored: both are edits of a card.
  function startFaceAndGroups(item) {
    const writable = canWriteFacesAndGroups();
    $('edit-photo-set').hidden = !item;
    $('edit-groups-set').hidden = !item;
    state.editPhoto = undefined;
    state.editGroups = item ? storedGroups(item.card).map((stored) => ({stored, name: unescape(stored).trim()}))
      .filter((group, index, all) => group.name && all.findIndex((g) => g.name === group.name) === index) : [];
    state.editGroupsStart = JSON.stringify(editedGroupValues());
    setStart($('edit-group-new'), '');
    $('edit-photo-error').hidden = true;
    for (const id of ['edit-photo-choose', 'edit-photo-remove']) $(id).disabled = !writable;
    $('edit-group-new').closest('.field').hidden = !writable;
    const why = writable ? '' : 'This server cannot change photos and groups yet.';
    for (const id of ['edit-photo-hint', 'edit-groups-hint']) {
      $(id).textContent = why;
      $(id).hidden = !why;
    }
    drawEditorFace();
    drawChips();
  }

  function drawEditorFace() {
    const item = state.editing;
    if (!item) return;
    const box = face(item, 'large');
    const pending = state.editPhoto;
    showFace(box, pending === undefined ? undefined : pending ? 'data:image/jpeg;base64,' + pending : '');
    $('edit-photo').replaceChildren(box);
    const hasPhoto = pending === undefined ? !!photoSource(item) : !!pending;
    $('edit-photo-remove').hidden = !hasPhoto;
    $('edit-photo-choose').textContent = hasPhoto ? 'Replace the photo' : 'Choose a photo';
  }

  $('edit-photo-choose').addEventListener('click', () => $('edit-photo-file').click());
  $('edit-photo-file').addEventListener('change', async (event) => {
    const file = event.target.files && event.target.files[0];
    event.target.value = '';
    if (!file) return;
    $('edit-photo-error').hidden = true;
    try {
      state.editPhoto = (await PhotoFile.jpegFrom(file)).base64;
    } catch (error) {
      $('edit-photo-error').textContent = error instanceof PhotoFile.PhotoError ? error.message
        : 'The photo could not be read: ' + describe(error);
      $('edit-photo-error').hidden = false;
      return;
    }
    drawEditorFace();
  });
  $('edit-photo-remove').addEventListener('click', () => {
    state.editPhoto = '';
    $('edit-photo-error').hidden = true;
    drawEditorFace();
    $('edit-photo-choose').focus();
  });

  function drawChips() {
    const writable = canWriteFacesAndGroups();
    $('edit-groups').replaceChildren(...state.editGroups.map((group, index) => el('li', {class: 'chip'},
      el('span', {dir: 'auto', text: group.name}),
      writable && el('button', {type: 'button', class: 'link chip-remove', 'aria-label': 'Remove from ' + group.name,
        text: '\u00d7', onclick: () => {
          state.editGroups.splice(index, 1);
          drawChips();
          $('edit-group-new').focus();
        }}))));
  }

  // What a person typed as a group becomes a chip; it is escaped when the edit is sent.
  function addTypedGroup() {
    const input = $('edit-group-new');
    const name = input.value.trim();
    input.value = '';
    if (name && !state.editGroups.some((group) => group.name === name)) state.editGroups.push({stored: null, name});
    drawChips();
  }
  $('edit-group-new').addEventListener('keydown', (event) => {
    if (event.key !== 'Enter') return;
    event.preventDefault();
    addTypedGroup();
  });

  // The editor's groups as stored values: a group kept goes back as it was stored.
  const editedGroupValues = () => state.editGroups.map((group) => (group.stored !== null ? group.stored : escape(group.name)));

  function groupsChanged() {
    if (!state.editing || $('edit-groups-set').hidden) return false;
    if ($('edit-group-new').value.trim()) return true;
    return JSON.stringify(editedGroupValues()) !== state.editGroupsStart;
  }

  for (const fieldset of $('edit-form').querySelectorAll('fieldset[data-kind]')) {
    fieldset.querySelector('.add-entry').addEventListener('click', () => {
      const box = entryEditor(fieldset.dataset.kind, null);
      fieldset.querySelector('.entries').append(box);
      box.querySelector('input, textarea').focus();
    });
  }

  // Escape, the close button and Cancel all ask before typed changes are thrown away.
  $('edit-dialog').addEventListener('keydown', (event) => {
    if (event.key !== 'Escape') return;
    event.preventDefault();
    closeEditor();
  });
  $('edit-dialog').addEventListener('cancel', (event) => {
    event.preventDefault();
    closeEditor();
  });

  // The card record to send: for an edit, the stored record with only the changed fields
  // replaced, so that `other`, `id`, `etag` and everything this page does not show go back
  // untouched. The `etag` lets the server refuse the edit when the card changed since it was
  // listed. Typed text is escaped as vCard text.
  function recordFromEditor() {
    const original = state.editing ? state.editing.card : null;
    const record = original ? JSON.parse(JSON.stringify(original)) : {};
    // The listing's photo flag and groups are no edit: only a change is sent, in the edit's form.
    delete record.photo;
    delete record.categories;
    if (original && canWriteFacesAndGroups()) {
      if ($('edit-group-new').value.trim()) addTypedGroup();
      if (state.editPhoto !== undefined) record.photo = state.editPhoto;
      if (groupsChanged()) record.categories = editedGroupValues();
    }
    if (!record.name || typeof record.name !== 'object') record.name = {family_name: '', given_name: '', additional_name: ''};
    if (!record.company || typeof record.company !== 'object') record.company = {org: '', title: ''};
    const typed = (input) => !original || changed(input);
    for (const [field, key] of Object.entries(nameFields)) {
      const input = $('edit-' + field);
      if (typed(input)) record.name[key] = escape(input.value.trim());
    }
    const org = $('edit-org');
    const unit = $('edit-unit');
    if (typed(org) || typed(unit)) {
      record.company.org = CardText.orgValue(str(record.company.org), typed(org) ? org.value.trim() : null,
        typed(unit) ? unit.value.trim() : null);
    }
    const title = $('edit-title-field');
    if (typed(title)) record.company.title = escape(title.value.trim());
    const bday = $('edit-bday');
    if (typed(bday) && (bday.value.trim() || original)) record.bday = bday.value.trim();
    const note = $('edit-note');
    if (typed(note)) record.note = escape(note.value);
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

  // The stored card changed since the page listed it (a phone synced it, say): nothing was
  // saved. The editor shows the contact as it is stored now and says why.
  async function reloadChangedContact(editing) {
    await loadList(true);
    const fresh = state.cards.find((item) => item.id === editing.id);
    if (!fresh) {
      closeDialog($('edit-dialog'));
      showError('Your changes to ' + editing.name + ' were not saved: the contact was deleted elsewhere ' +
        'since this page read it.');
      return;
    }
    await openEditor(fresh, true);
    $('edit-error').textContent = 'Not saved: ' + editing.name + ' was changed elsewhere (on a phone or ' +
      'another computer) since this page read it. The editor now shows the contact as it is stored; ' +
      'make your changes again.';
    $('edit-error').hidden = false;
    $('edit-error').focus();
  }

  $('edit-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const record = recordFromEditor();
    const editing = state.editing;
    const hasName = Object.values(nameFields).some((k) => str(record.name[k]).trim()) ||
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
      if (editing && error instanceof ApiError && error.code === 1013) return reloadChangedContact(editing);
      $('edit-error').textContent = 'Not saved: ' + describe(error);
      $('edit-error').hidden = false;
      $('edit-error').focus();
      return;
    }
    save.disabled = false;
    closeDialog($('edit-dialog'));
    notify(editing ? 'Saved the changes to ' + editing.name + '.' : 'Added the new contact.');
    // The saved card has a new etag that only the listing tells: until it is here, an edit of
    // the same contact waits for it rather than be refused as changed elsewhere.
    if (editing) editing.saved = true;
    state.reloading = loadList(true);
    await state.reloading;
  });
  $('edit-error').tabIndex = -1;

  $('new-contact').addEventListener('click', () => openEditor(null, false));

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

  // ---- Groups of the selection ----------------------------------------------------------------

  let groupAdding = true;

  function openGroupDialog(adding) {
    groupAdding = adding;
    const selected = state.cards.filter((item) => state.selected.has(item.id));
    const n = plural(selected.length, 'contact', 'contacts');
    $('group-dialog-title').textContent = adding ? 'Add ' + n + ' to a group' : 'Remove ' + n + ' from a group';
    $('group-name-field').hidden = !adding;
    $('group-pick-field').hidden = adding;
    $('group-error').hidden = true;
    $('group-ok').textContent = adding ? 'Add' : 'Remove';
    if (adding) {
      $('group-name').value = state.group.startsWith('g:') ? state.group.slice(2) : '';
    } else {
      const names = [...new Set(selected.flatMap((item) => item.groups))].sort(collator.compare);
      $('group-pick').replaceChildren(...names.map((name) => new Option(name, name)));
      if (state.group.startsWith('g:') && names.includes(state.group.slice(2))) $('group-pick').value = state.group.slice(2);
    }
    openDialog($('group-dialog'));
    (adding ? $('group-name') : $('group-pick')).focus();
  }
  $('group-add').addEventListener('click', () => openGroupDialog(true));
  $('group-remove').addEventListener('click', () => openGroupDialog(false));

  $('group-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const name = (groupAdding ? $('group-name').value : $('group-pick').value).trim();
    if (!name) {
      $('group-error').textContent = 'Name the group.';
      $('group-error').hidden = false;
      return;
    }
    closeDialog($('group-dialog'));
    await changeGroup(groupAdding, name);
  });

  // One edit per contact that changes, of its groups alone; a contact changed elsewhere since
  // the listing is left as it is and named.
  async function changeGroup(adding, name) {
    clearError();
    const targets = state.cards.filter((item) => state.selected.has(item.id) &&
      item.groups.includes(name) !== adding);
    const refused = [];
    let done = 0;
    for (const item of targets) {
      const stored = storedGroups(item.card);
      const categories = adding ? stored.concat([escape(name)])
        : stored.filter((value) => unescape(value).trim() !== name);
      const record = {resource_name: item.id, categories};
      if (str(item.card.etag)) record.etag = item.card.etag;
      try {
        await call(CONTACTS, 'edit_card', bookParams({card: record}));
        ++done;
      } catch (error) {
        if (error instanceof ApiError && error.code === 108) return failed(error);
        refused.push(item.name + ' (' + describe(error) + ')');
      }
    }
    await loadList(true);
    notify((adding ? 'Added ' : 'Removed ') + plural(done, 'contact', 'contacts') + (adding ? ' to "' : ' from "') +
      name + '".');
    if (refused.length) showError('Not changed: ' + refused.join('; ') + '.');
  }

  // ---- Download -------------------------------------------------------------------------------

  function nothingToDownload() {
    notify('There are no contacts to download: nothing was saved.');
  }

  async function download(method, extra, count) {
    clearError();
    if (!count) return nothingToDownload();
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
    // The book may have been emptied since it was listed; an empty file helps no one.
    if (!blob.size) return nothingToDownload();
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
    // The import's report (version 2 of import_cards) says how many contacts were stored and
    // which could not be, and why.
    const finish = async (error, report) => {
      progress.hidden = true;
      button.disabled = false;
      $('import-file').value = '';
      if (error instanceof ApiError && error.code === 1011) {
        showError('Importing ' + file.name + ' failed: the file holds no contact. ' +
          'Is it a vCard (.vcf) file? (the server says "' + error.serverMessage + '", error 1011)');
        await loadList(true);
        return;
      }
      if (error) {
        failed(error, 'Importing ' + file.name + ' failed');
        await loadList(true);
        return;
      }
      await loadList(true);
      notify(importReportText(file.name, report));
    };

    const form = new FormData();
    form.append('user', state.book);
    form.append('file', file, file.name);
    const xhr = new XMLHttpRequest();
    xhr.open('POST', Lumidex.apiUrl(CONTACTS, 'import_cards', 2));
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
        finish(null, body.data);
      }
    });
    xhr.addEventListener('error', () => finish(new ApiError(0, '', 0, 'The upload was interrupted: the server could not be reached.')));
    xhr.addEventListener('abort', () => finish(new ApiError(0, '', 0, 'The upload was cancelled.')));
    xhr.send(form);
  }

  // The import's report in words: "Imported 12 contacts from x.vcf. 1 could not be imported:
  // card 7 could not be stored."
  function importReportText(name, report) {
    const stored = report && Number.isInteger(report.stored) ? report.stored : 0;
    const refused = report && Array.isArray(report.refused) ? report.refused : [];
    const text = stored ? 'Imported ' + plural(stored, 'contact', 'contacts') + ' from ' + name + '.'
                        : 'No contact imported from ' + name + '.';
    if (!refused.length) return text;
    const shown = refused.slice(0, 5).map((r) => 'card ' + r.card + ' ' + str(r.reason));
    if (refused.length > shown.length) shown.push('and ' + (refused.length - shown.length) + ' more');
    return text + ' ' + refused.length + ' could not be imported: ' + shown.join(', ') + '.';
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
    if (http === https) {
      fieldError('https-port', 'The HTTPS port must differ from the HTTP port: the server cannot serve both on port ' +
        http + '.');
      $('https-port').focus();
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

  // Takes every contact out of the page, so that a copy of it kept by the browser (Back after
  // signing out, on a shared computer) holds none.
  function forgetContacts() {
    ++state.listSeq;
    state.cards = [];
    state.selected.clear();
    state.opened = null;
    state.editing = null;
    for (const dialog of document.querySelectorAll('dialog')) if (dialog.open) dialog.close();
    $('card-fields').replaceChildren();
    $('card-photo').replaceChildren();
    $('edit-photo').replaceChildren();
    $('edit-groups').replaceChildren();
    state.editGroups = [];
    state.editPhoto = undefined;
    $('group-names').replaceChildren();
    $('group-filter').replaceChildren(new Option('All contacts', 'all'));
    state.group = 'all';
    $('card-title').textContent = '';
    for (const box of document.querySelectorAll('#edit-form .entries')) box.replaceChildren();
    $('edit-form').reset();
    $('search').value = '';
    state.search = '';
    $('who-name').textContent = '';
    $('book-users').replaceChildren();
    show([], false);
    $('count').textContent = '';
    $('list-empty').hidden = true;
    clearError();
  }

  $('sign-out').addEventListener('click', async () => {
    try {
      await Lumidex.auth('logout');
    } catch (error) {
      if (!(error instanceof ApiError && error.code === 108)) {
        showError('Signing out failed: ' + describe(error));
        return;
      }
    }
    forgetContacts();
    Lumidex.signedInAs('');
    location.assign('/login.html');
  });

  // A page shown again from the back-forward cache may belong to a session that has ended since
  // (signed out, password changed): it stays hidden until the session is checked.
  window.addEventListener('pagehide', (event) => {
    if (event.persisted) document.body.classList.add('checking');
  });
  window.addEventListener('pageshow', async (event) => {
    if (!event.persisted) return;
    document.body.classList.add('checking');
    let me = null;
    try {
      me = await Lumidex.auth('whoami');
    } catch (error) {
      if (error instanceof ApiError && error.code === 108) {
        forgetContacts();
        location.replace('/login.html');
        return;
      }
    }
    // Someone else signed in meanwhile: start over as that person.
    if (me && str(me.user) !== state.me) {
      forgetContacts();
      location.reload();
      return;
    }
    document.body.classList.remove('checking');
  });

  // An ended session (signed out elsewhere, a new password, eight hours passed) takes the
  // contacts out of the page and leads to the sign-in page, which says why.
  function sessionEnded() {
    forgetContacts();
    Lumidex.signedInAs('');
    location.replace('/login.html?expired=1');
  }

  // The session is checked when the page is shown again and every few minutes, so that an open
  // page does not go on showing the contacts of a session that has ended.
  let sessionCheckedAt = 0;
  let sessionChecking = false;
  async function checkSession(always) {
    if (!state.me || sessionChecking) return;
    if (!always && Date.now() - sessionCheckedAt < 5000) return;
    sessionChecking = true;
    sessionCheckedAt = Date.now();
    let me = null;
    try {
      me = await Lumidex.auth('whoami');
    } catch (error) {
      if (error instanceof ApiError && error.code === 108) sessionEnded();
      return;
    } finally {
      sessionChecking = false;
    }
    if (me && str(me.user) !== state.me) {
      forgetContacts();
      location.reload();
    }
  }
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible') checkSession(true);
  });
  window.addEventListener('focus', () => checkSession(false));
  setInterval(() => checkSession(true), 3 * 60 * 1000);

  // ---- Address book of (admin) ----------------------------------------------------------------

  // The accounts and the names with an address book, from the sign-in service's answer.
  function knowAccounts(me) {
    if (!state.admin) return;
    const names = (value) => (Array.isArray(value) ? value.filter((n) => typeof n === 'string' && n) : null);
    state.accounts = names(me && me.accounts) || [];
    state.books = names(me && me.books);
    const books = new Set(state.books || []);
    const options = [...new Set([...state.accounts, ...books])].sort(collator.compare).map((name) => {
      const option = el('option', {value: name});
      option.label = books.has(name) || !state.books ? name : name + ' (no address book yet)';
      return option;
    });
    $('book-users').replaceChildren(...options);
    bookHint();
  }

  function hasBook(user) {
    return !state.books || state.books.includes(user);
  }

  function bookHint() {
    const user = $('book-user').value.trim();
    const hint = $('book-hint');
    hint.textContent = user && !hasBook(user)
      ? (state.accounts.includes(user) ? user + ' has no address book yet.' : 'No account and no address book is named ' + user + '.')
      : '';
    hint.hidden = !hint.textContent;
  }
  $('book-user').addEventListener('input', bookHint);

  $('book-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const user = $('book-user').value.trim();
    if (!user || user === state.book) return;
    // Another admin page or a script may have made the book since this page asked.
    try {
      knowAccounts(await Lumidex.auth('whoami'));
    } catch (error) {
      if (error instanceof ApiError && error.code === 108) return failed(error);
    }
    // Listing a book that does not exist creates it: only when asked to.
    if (!hasBook(user)) {
      const question = (state.accounts.includes(user) ? user + ' has no address book yet.'
        : 'There is no account and no address book named ' + user + '.') +
        ' Create an empty address book for ' + user + '?';
      if (!(await confirmAction(question, 'Create it', 'Cancel'))) {
        $('book-user').focus();
        return;
      }
    }
    state.book = user;
    state.selected.clear();
    state.search = '';
    $('search').value = '';
    clearError();
    if (await loadList(false) && state.books && !state.books.includes(user)) {
      state.books.push(user);
      knowAccounts({accounts: state.accounts, books: state.books});
    }
  });

  async function start() {
    // The book of the name this tab signed in with is asked for (by list_early.js, as the page
    // starts to load) together with who is signed in: one round trip before the list instead
    // of two. A listing needs no CSRF token.
    const guess = EarlyListing.user;
    const early = guess ? listCards(guess, EarlyListing.reply) : null;
    if (early) early.catch(() => {});
    const prepared = [];
    EarlyListing.follow((cards) => {
      for (const card of cards) if (card && typeof card === 'object') prepared.push(prepare(card));
    });
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
    Lumidex.signedInAs(state.me);
    state.book = state.me;
    $('who-name').textContent = 'Signed in as ' + state.me;
    $('nav-settings').hidden = !state.admin;
    if (state.admin) {
      $('book-form').hidden = false;
      $('book-user').value = state.book;
      knowAccounts(me);
    }
    route();
    await loadList(false, guess === state.me ? early : null, guess === state.me ? prepared : null);
  }

  readRowHeight();
  start();
})();
