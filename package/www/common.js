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
    if (!body || typeof body.success !== 'boolean') {
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

  // One API call; resolves to the reply's data or rejects with an ApiError.
  async function call(api, method, params, signal, version = 1) {
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
    return readReply(response);
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
