// Shared by the sign-in page and the contacts pages: calls to the web API and the sign-in
// service, and every error reply put into words a person can act on.
'use strict';

const Lumidex = (() => {
  const API = '/webapi/entry.cgi';
  const AUTH = '/webapi/auth.cgi';

  // What each error code means for the person using the pages; the server's own message is
  // shown beside it, since it may say more.
  const CODE_TEXT = {
    101: 'The contacts service is not installed on the server.',
    102: 'The server does not offer this function (unknown API).',
    103: 'The server does not offer this function (unknown method).',
    104: 'The server does not offer this version of the function.',
    105: 'The server could not read the request: it may be too large or malformed.',
    106: 'The server failed while handling the request.',
    107: 'The server gave no answer to the request.',
    108: 'You are not signed in, or your session has ended.',
    109: 'You are not allowed to do this.',
    110: 'The request was refused because it did not come from this page. Reload the page and try again.',
    111: 'Too many failed sign-ins. Wait a while, then try again.',
    900: 'A value the server needs was missing from the request.',
    901: 'The server expected a list of contacts.',
    1000: 'The server settings could not be read.',
    1001: 'The server settings could not be saved.',
    1002: 'This HTTP port is already used by another service.',
    1003: 'This HTTPS port is already used by another service.',
    1004: 'The new port could not be recorded in the service definition.',
    1005: 'The firewall could not reload its rules.',
    1006: 'The CardDAV server configuration could not be written.',
    1007: 'The CardDAV server could not be restarted.',
    1009: 'Not every contact could be deleted.',
    1011: 'The contact could not be saved.',
    1013: 'The contact was changed elsewhere since this page read it.',
  };

  class ApiError extends Error {
    // code: the reply's error code (0 when the reply was no API reply at all); status: HTTP.
    constructor(code, serverMessage, status, words) {
      super(words || CODE_TEXT[code] || 'The request failed.');
      this.code = code;
      this.serverMessage = serverMessage || '';
      this.status = status || 0;
    }
  }

  // The whole explanation of a failure, in words.
  function describe(error) {
    if (!(error instanceof ApiError)) {
      return 'Something went wrong in this page: ' + String(error && error.message ? error.message : error);
    }
    let text = error.message;
    if (error.code > 0) {
      const server = error.serverMessage && error.serverMessage !== error.message
        ? 'the server says "' + error.serverMessage + '", ' : '';
      text += ' (' + server + 'error ' + error.code + ')';
    }
    return text;
  }

  // Reads a JSON reply; anything that is not one becomes an ApiError with code 0.
  async function readReply(response) {
    const type = response.headers.get('Content-Type') || '';
    let body = null;
    if (type.includes('json')) {
      try {
        body = await response.json();
      } catch (e) {
        body = null;
      }
    }
    return replyData(response, body);
  }

  // The data of a parsed reply body, or the ApiError it stands for.
  function replyData(response, body) {
    if (!body || typeof body !== 'object' || typeof body.success !== 'boolean') {
      throw new ApiError(0, '', response.status,
        'The server gave no usable answer (HTTP ' + response.status + ' ' + response.statusText + ').');
    }
    if (!body.success) {
      const error = body.error && typeof body.error === 'object' ? body.error : {};
      const code = Number.isInteger(error.code) ? error.code : 0;
      const message = typeof error.message === 'string' ? error.message : '';
      throw new ApiError(code, message, response.status);
    }
    return body.data;
  }

  // A listing read while it arrives: the records of the array `key` in the reply's data are
  // parsed a few at a time between the network's chunks, so that a long listing is mostly read
  // when its last byte comes. The result is what JSON.parse makes of the whole reply; a reply
  // that is no such listing (an error, or not JSON) is parsed whole when complete.
  // `onRecords`, when given, is handed the records of each batch as they are read.
  async function readListing(response, key, onRecords) {
    const type = response.headers.get('Content-Type') || '';
    if (!type.includes('json') || !response.body || typeof TextDecoder !== 'function') return readReply(response);
    const opening = '"' + key + '":';
    const pieces = [];      // the whole text, for a reply read whole after all
    const records = [];
    let handed = 0;         // how many of `records` went to `onRecords`
    let streamed = true;    // false once the reply is found to be no listing this reader splits
    let text = '';          // what is not parsed yet; before the array, everything so far
    let at = 0;             // where scanning goes on in `text`
    let depth = 0;          // nesting at `at`: of the whole reply before the array, of a record in it
    let head = null;        // the reply up to and with the array's '['
    let tail = null;        // the reply from the array's ']', once found

    // Scans `text` from `at`; returns where the last whole record ends (0 when none does), or
    // where the array ends once it does.
    const scan = () => {
      let done = 0;
      const n = text.length;
      let i = at;
      while (i < n) {
        const c = text.charCodeAt(i);
        if (c === 34) { // a string: jump to its closing quote, one not escaped
          let end = i;
          for (;;) {
            end = text.indexOf('"', end + 1);
            if (end < 0) break;
            let slashes = 0;
            while (text.charCodeAt(end - 1 - slashes) === 92) ++slashes;
            if (slashes % 2 === 0) break;
          }
          if (end < 0) break; // the rest of the string is yet to come
          i = end + 1;
          continue;
        }
        if (head === null) {
          // The array named `key` in the reply's data, two objects deep.
          if (c === 91 && depth === 2 && i >= opening.length && text.slice(i - opening.length, i) === opening) {
            head = text.slice(0, i + 1);
            text = text.slice(i + 1);
            at = 0;
            depth = 0;
            return scan();
          }
          if (c === 123 || c === 91) ++depth;
          else if (c === 125 || c === 93) --depth;
        } else if (c === 123 || c === 91) {
          ++depth;
        } else if (c === 125 || c === 93) {
          if (depth === 0) { // the array's end: what is before it is records
            tail = text.slice(i);
            return i;
          }
          if (--depth === 0) done = i + 1;
        }
        ++i;
      }
      at = i;
      return done;
    };

    // Parses the records in `text` before `end` (a place between two of them).
    const parse = (end) => {
      let part = text.slice(0, end);
      if (records.length) {
        // The comma after the records taken before, and a record after it.
        const comma = /^\s*,/.exec(part);
        if (comma) part = part.slice(comma[0].length);
        if (!comma ? part.trim() : !part.trim()) throw new SyntaxError('Records without commas between them');
      }
      if (part.trim()) {
        const batch = JSON.parse('[' + part + ']');
        for (let i = 0; i < batch.length; ++i) records.push(batch[i]);
      }
      text = text.slice(end);
    };

    // How a record after the first starts when written like it: a comma, then its first key.
    let lead = null;
    const learnLead = () => {
      const first = records[0];
      const names = first && typeof first === 'object' && !Array.isArray(first) ? Object.keys(first) : [];
      lead = names.length && !/^[0-9]/.test(names[0]) ? ',{' + JSON.stringify(names[0]) + ':' : '';
    };

    // Parses the whole records that have come and keeps the rest for later. Scanning every
    // character costs as much as parsing, so once the records' lead is known, the text is first
    // cut where the last record starts with it: JSON.parse refuses a cut inside a string or a
    // record, so a wrong guess only costs the attempt, and the scan goes on from where it was.
    const take = (last) => {
      if (lead && !last) {
        const cut = text.lastIndexOf(lead);
        if (cut > 0) {
          const kept = records.length;
          try {
            parse(cut);
            at = 0;
            depth = 0;
            return;
          } catch (e) {
            records.length = kept;
          }
        }
      }
      const end = scan();
      if (!end) return;
      parse(end);
      at -= end;
      if (lead === null && records.length) learnLead();
    };

    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    for (;;) {
      let chunk;
      try {
        chunk = await reader.read();
      } catch (e) {
        networkError(e);
      }
      const {done, value} = chunk;
      const piece = done ? decoder.decode() : decoder.decode(value, {stream: true});
      pieces.push(piece);
      if (streamed && tail !== null) {
        tail += piece;
      } else if (streamed) {
        text += piece;
        try {
          take(done);
        } catch (e) {
          streamed = false;
        }
        if (streamed && onRecords && handed < records.length) {
          onRecords(records.slice(handed));
          handed = records.length;
        }
      }
      if (done) break;
    }
    let body;
    if (streamed && tail !== null) {
      try {
        // The reply as sent, with an empty array where the records were.
        body = JSON.parse(head + tail);
        const data = body && typeof body === 'object' ? body.data : null;
        if (data && typeof data === 'object' && Array.isArray(data[key]) && !data[key].length) data[key] = records;
        else body = undefined;
      } catch (e) {
        body = undefined;
      }
    }
    if (body === undefined) {
      try {
        body = JSON.parse(pieces.join(''));
      } catch (e) {
        body = null;
      }
    }
    return replyData(response, body);
  }

  function networkError(error) {
    if (error && error.name === 'AbortError') throw error;
    throw new ApiError(0, '', 0, 'The server could not be reached. Check the connection and try again.');
  }

  // A parameter as the front reads it: a text is sent as it is, anything else as JSON.
  function encodeValue(value) {
    return typeof value === 'string' ? value : JSON.stringify(value);
  }

  function formBody(params) {
    const body = new URLSearchParams();
    for (const [name, value] of Object.entries(params)) {
      if (value !== undefined) body.append(name, encodeValue(value));
    }
    return body;
  }

  // The CSRF token of the session, sent with every API call.
  let csrfToken = '';
  function setCsrf(token) {
    csrfToken = typeof token === 'string' ? token : '';
  }

  function headers() {
    const h = {};
    if (csrfToken) h['X-CSRF-Token'] = csrfToken;
    return h;
  }

  function apiUrl(api, method, version = 1) {
    return API + '?api=' + encodeURIComponent(api) + '&version=' + version + '&method=' + encodeURIComponent(method);
  }

  // One API call; resolves to the reply's data or rejects with an ApiError. `listing` names
  // the array of records in the data of a long reply, read while it arrives, and `onRecords`
  // is handed its records a batch at a time as they are read.
  async function call(api, method, params, signal, version = 1, listing = '', onRecords = null) {
    let response;
    try {
      response = await fetch(apiUrl(api, method, version), {
        method: 'POST',
        credentials: 'same-origin',
        headers: headers(),
        body: formBody(params || {}),
        signal,
      });
    } catch (e) {
      networkError(e);
    }
    return listing ? readListing(response, listing, onRecords) : readReply(response);
  }

  // The raw response of a download method: the caller tells a file from an error reply.
  async function fetchDownload(api, method, params) {
    let response;
    try {
      response = await fetch(apiUrl(api, method), {
        method: 'POST',
        credentials: 'same-origin',
        headers: headers(),
        body: formBody(params || {}),
      });
    } catch (e) {
      networkError(e);
    }
    return response;
  }

  async function auth(action, fields) {
    let response;
    try {
      response = await fetch(AUTH, {
        method: 'POST',
        credentials: 'same-origin',
        headers: headers(),
        body: formBody(Object.assign({action}, fields || {})),
      });
    } catch (e) {
      networkError(e);
    }
    return readReply(response);
  }

  // The name this tab signed in with, kept for the tab alone so that the contacts page can ask
  // for that book at once. With storage refused, every start waits to hear who is signed in.
  function signedInAs(name) {
    try {
      if (name === undefined) return sessionStorage.getItem('lumidex-signed-in-as') || '';
      if (name) sessionStorage.setItem('lumidex-signed-in-as', name);
      else sessionStorage.removeItem('lumidex-signed-in-as');
    } catch (e) {
      return '';
    }
    return name;
  }

  return {ApiError, describe, readReply, call, fetchDownload, auth, setCsrf, csrf: () => csrfToken, apiUrl,
    signedInAs, CODE_TEXT};
})();
